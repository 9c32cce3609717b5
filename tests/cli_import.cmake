# tarvinex import on a station folder made by tarvinex init: SHOMAS.DAT from
# data/0000/rcv/ goes into the maintenance database; unknown names are refused.
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${TARVINEX}" init "${WORK}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "init exited with ${status}")
endif()

# Two products, one removed again, a blank line (CP932 needs no bytes beyond ASCII here).
string(REPEAT " " 8 blanks)
file(WRITE "${WORK}/data/0000/rcv/SHOMAS.DAT"
     "14901234${blanks}  J1\r\n14901235${blanks}  J2\r\n34901234\r\n\r\n")

execute_process(COMMAND "${TARVINEX}" import --station-dir "${WORK}" SHOMAS
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "import exited with ${status}: ${err}")
endif()
if(NOT out MATCHES "SHOMAS.DAT: lines read 4, rows deleted 1, rows inserted 2, lines skipped 1")
    message(FATAL_ERROR "unexpected summary: ${out}")
endif()

find_program(SQLITE3 sqlite3)
if(SQLITE3)
    execute_process(COMMAND "${SQLITE3}" "${WORK}/data/0000/MasterConv.db"
                            "SELECT \"商品コード\" || '/' || \"自社コード\" FROM SHOMAS"
                    OUTPUT_VARIABLE rows)
    string(STRIP "${rows}" rows)
    if(NOT rows STREQUAL "4901235/J2")
        message(FATAL_ERROR "unexpected rows: ${rows}")
    endif()
endif()

# A missing file fails the import (status 1) but the other masters still run.
execute_process(COMMAND "${TARVINEX}" import --station-dir "${WORK}" JISYA SHOMAS
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 1 OR NOT err MATCHES "JISYA.DAT" OR NOT out MATCHES "SHOMAS.DAT")
    message(FATAL_ERROR "missing file: status ${status}, out ${out}, err ${err}")
endif()

# A master named in any letter case, as its file is found; named twice, imported once.
execute_process(COMMAND "${TARVINEX}" import --station-dir "${WORK}" shomas SHOMAS
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX MATCHALL "SHOMAS.DAT:" summaries "${out}")
list(LENGTH summaries count)
if(NOT status EQUAL 0 OR NOT count EQUAL 1)
    message(FATAL_ERROR "master in lower case: status ${status}, out ${out}, err ${err}")
endif()
execute_process(COMMAND "${TARVINEX}" import --station-dir "${WORK}" SHOMAS shomaz
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 2 OR NOT out STREQUAL "" OR NOT err MATCHES "unknown master 'shomaz'")
    message(FATAL_ERROR "unknown master: status ${status}, out ${out}")
endif()
execute_process(COMMAND "${TARVINEX}" import --station-dir "${WORK}/nowhere" SHOMAS
                RESULT_VARIABLE status)
if(NOT status EQUAL 2)
    message(FATAL_ERROR "missing settings: status ${status}")
endif()
