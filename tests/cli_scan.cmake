# tarvinex scan applies a category master dropped into a station made by init,
# reports a file it cannot apply with status 1 and keeps it, one still being
# written with status 3, refuses a usage or settings error with status 2 and
# stops with status 4 below MINFREE.
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${TARVINEX}" init "${WORK}" RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "init exited with ${rc}")
endif()

set(rcv "${WORK}/data/0003/rcv")
file(WRITE "${rcv}/BUNMAS.dat" "1A1  FRUIT\r\n1A2  VEG\r\n2A1  FRUITS\r\n")
execute_process(COMMAND "${TARVINEX}" scan --station-dir "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "scan exited with ${rc}: ${out}${err}")
endif()
set(expected "station folder: ${WORK} (--station-dir)\n"
             "0003 BUNMAS: 3 lines read, 2 rows added, 1 rows updated\n")
string(CONCAT expected ${expected})
if(NOT out STREQUAL expected)
    message(FATAL_ERROR "unexpected report: ${out}")
endif()
if(NOT EXISTS "${rcv}/BUNMAS.sav" OR EXISTS "${rcv}/BUNMAS.dat")
    message(FATAL_ERROR "BUNMAS.dat was not renamed to BUNMAS.sav")
endif()
# Compared as bytes, line endings included.
file(READ "${rcv}/BUNMAS.csv" csv HEX)
string(HEX "A1,FRUITS,,,,2,\r\nA2,VEG,,,,1,\r\n" expected)
if(NOT csv STREQUAL expected)
    message(FATAL_ERROR "unexpected export: ${csv}")
endif()

# A file caught half copied (its last line without an end) waits, kept under
# its name (status 3); once it has stood still it is applied. A misnamed file
# is named once a day, not by the next scan.
file(WRITE "${rcv}/SIRMAS.dat" "1000001SHOP\r\n1000002")
file(WRITE "${rcv}/BUNMAS.txt" "1A3  NUTS\r\n")
execute_process(COMMAND "${TARVINEX}" scan --station-dir "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 3 OR NOT out MATCHES "\n0003 SIRMAS: waiting, still being written\n"
   OR NOT out MATCHES "not taken: [^\n]*/0003/rcv/BUNMAS.txt \\(master files are named BUNMAS.dat\\)")
    message(FATAL_ERROR "file being written: status ${rc}: ${out}${err}")
endif()
if(NOT EXISTS "${rcv}/SIRMAS.dat" OR EXISTS "${rcv}/SIRMAS.sav")
    message(FATAL_ERROR "a file being written was renamed")
endif()
execute_process(COMMAND touch -d "1 minute ago" "${rcv}/SIRMAS.dat" RESULT_VARIABLE rc)
execute_process(COMMAND "${TARVINEX}" scan --station-dir "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "0003 SIRMAS: 2 lines read, 2 rows added"
   OR out MATCHES "BUNMAS.txt")
    message(FATAL_ERROR "settled file: status ${rc}: ${out}${err}")
endif()

# A mistyped database: refused at start, naming the key, without making it;
# the file kept, no export.
file(READ "${WORK}/Tarvinex.ini" settings)
string(REPLACE "tarvinex.db" "tarvinx.db" mistyped "${settings}")
file(WRITE "${WORK}/Tarvinex.ini" "${mistyped}")
file(WRITE "${rcv}/TENMAS.dat" "1001SHOP\r\n")
execute_process(COMMAND "${TARVINEX}" scan --station-dir "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "DBname: データベース [^\n]*tarvinx.db がありません")
    message(FATAL_ERROR "mistyped database: status ${rc}: ${out}${err}")
endif()
if(EXISTS "${WORK}/tarvinx.db" OR NOT EXISTS "${rcv}/TENMAS.dat" OR EXISTS "${rcv}/TENMAS.csv")
    message(FATAL_ERROR "mistyped database made, or the file not kept")
endif()
file(WRITE "${WORK}/Tarvinex.ini" "${settings}")

# A database that is not SQLite: refused at start, the file kept.
file(WRITE "${WORK}/tarvinex.db" "not a database")
file(WRITE "${rcv}/TENMAS.dat" "1001SHOP\r\n")
execute_process(COMMAND "${TARVINEX}" scan --station-dir "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 2)
    message(FATAL_ERROR "failing scan exited with ${rc}")
endif()
if(NOT err MATCHES "DBname: [^\n]*SQLite データベースではありません"
   OR NOT EXISTS "${rcv}/TENMAS.dat")
    message(FATAL_ERROR "failure not reported or file not kept: ${err}")
endif()

# Less free space than MINFREE (8 EiB here): nothing is touched, status 4.
file(APPEND "${WORK}/Tarvinex.ini" "MINFREE=8589934591G\r\n")
execute_process(COMMAND "${TARVINEX}" scan --station-dir "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 4 OR NOT err MATCHES "too little free space on .*MINFREE is 8.0 EiB"
   OR NOT EXISTS "${rcv}/TENMAS.dat")
    message(FATAL_ERROR "scan below the floor: status ${rc}: ${out}${err}")
endif()

execute_process(COMMAND "${TARVINEX}" scan --station-dir "${WORK}/missing" RESULT_VARIABLE rc
                OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 2)
    message(FATAL_ERROR "scan without settings exited with ${rc}")
endif()
execute_process(COMMAND "${TARVINEX}" scan extra RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 2)
    message(FATAL_ERROR "scan with a stray argument exited with ${rc}")
endif()
