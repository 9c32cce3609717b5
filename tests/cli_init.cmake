# tarvinex init lays out a folder once and refuses it the second time with status 2;
# it makes a link key of its own, or takes a chain's with --link-key-file.
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${TARVINEX}" init "${WORK}" RESULT_VARIABLE first)
if(NOT first EQUAL 0)
    message(FATAL_ERROR "first init exited with ${first}")
endif()
execute_process(COMMAND "${TARVINEX}" init "${WORK}" RESULT_VARIABLE second ERROR_VARIABLE err)
if(NOT second EQUAL 2)
    message(FATAL_ERROR "second init exited with ${second}, expected 2")
endif()
if(NOT err MATCHES "Tarvinex.ini")
    message(FATAL_ERROR "refusal does not name the settings file: ${err}")
endif()

# init makes a key of its own: printed once, kept in link.key alone.
file(REMOVE_RECURSE "${WORK}-keyed")
execute_process(COMMAND "${TARVINEX}" init "${WORK}-keyed" OUTPUT_VARIABLE out RESULT_VARIABLE rc)
file(READ "${WORK}-keyed/link.key" made)
file(READ "${WORK}-keyed/Tarvinex.ini" settings)
string(REGEX MATCH "鍵（ID [A-Z2-7]+）: ([A-Z2-7-]+)\n" printed "${out}")
# (file(READ) drops the settings' CRs.)
if(NOT rc EQUAL 0 OR NOT made STREQUAL "${CMAKE_MATCH_1}\n"
   OR NOT settings MATCHES "\nLINKV1=no\n")
    message(FATAL_ERROR "init's key: ${out}\nlink.key: ${made}\nsettings: ${settings}")
endif()

# A chain's own key: the given file's first line, by the key file's rules.
file(REMOVE_RECURSE "${WORK}-keyed" "${WORK}-chain")
file(WRITE "${WORK}-chain.key" " the chain's key \r\nretired 2099-01-01T00:00:00Z older\r\n")
execute_process(COMMAND "${TARVINEX}" init "${WORK}-chain" --link-key-file "${WORK}-chain.key"
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
file(READ "${WORK}-chain/link.key" given)
if(NOT rc EQUAL 0 OR NOT given STREQUAL " the chain's key \n" OR out MATCHES "chain's key ")
    message(FATAL_ERROR "init --link-key-file: ${out}\nlink.key: '${given}'")
endif()
file(WRITE "${WORK}-chain.key" "\r\n")
execute_process(COMMAND "${TARVINEX}" init "${WORK}-blank" --link-key-file "${WORK}-chain.key"
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "chain.key に鍵がありません" OR EXISTS "${WORK}-blank")
    message(FATAL_ERROR "init with a blank key file exited with ${rc}: ${err}")
endif()
file(REMOVE_RECURSE "${WORK}-chain" "${WORK}-chain.key")

# init --port: PORT for a second station on the machine, read as PORT is.
file(REMOVE_RECURSE "${WORK}-port")
execute_process(COMMAND "${TARVINEX}" init "${WORK}-port" --port 50212 RESULT_VARIABLE rc)
file(READ "${WORK}-port/Tarvinex.ini" settings)
if(NOT rc EQUAL 0 OR NOT settings MATCHES "\nPORT=50212\n")
    message(FATAL_ERROR "init --port 50212 exited with ${rc}: ${settings}")
endif()
file(REMOVE_RECURSE "${WORK}-port")
foreach(bad 0 65536 x)
    execute_process(COMMAND "${TARVINEX}" init "${WORK}-port" --port ${bad}
                    RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 2 OR NOT err MATCHES "--port の値が正しくありません" OR EXISTS "${WORK}-port")
        message(FATAL_ERROR "init --port ${bad} exited with ${rc}: ${err}")
    endif()
endforeach()
