# Runs the compiler over hook_cases.cpp twice: as written it must compile;
# with HOOK_FAULTS it must fail, with an error naming each fault's hook.
# cmake -DCXX=... -DSOURCE=... -DINCLUDE=... -P CheckHooks.cmake
set(flags -std=c++17 -fsyntax-only -Wall -Wextra -Werror -Wno-unknown-pragmas
  -DUNICODE -D_UNICODE -DNOMINMAX -D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DSTRSAFE_NO_DEPRECATE
  -I${INCLUDE})

execute_process(COMMAND ${CXX} ${flags} ${SOURCE} RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the correct filter does not compile:\n${err}")
endif()
message(STATUS "the correct filter compiles")

execute_process(COMMAND ${CXX} ${flags} -DHOOK_FAULTS ${SOURCE} RESULT_VARIABLE rc ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(FATAL_ERROR "the faulty filters compile")
endif()
# One pattern per fault class, in the order of the source.
set(expected
  "Filter_QueryAcceptMt[^\n]*does not name a type"
  "IsExamineMediaType[^s][^\n]*does not name a type"
  "DS_HOOK\\(Filter_GetAllocator\\) marks no declaration of Filter_GetAllocator"
  "hook Filter_NewSegment differs in its parameters or result"
  "hook AgreeExchange is written without DS_HOOK\\(AgreeExchange\\)"
  "hook Filter_SendSample is missing")
set(missing "")
foreach(pattern ${expected})
  if(err MATCHES "error: [^\n]*${pattern}")
    string(REPLACE "[^\n]*" " ... " shown "${pattern}")
    message(STATUS "caught: ${shown}")
  else()
    string(APPEND missing "  ${pattern}\n")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "no error names:\n${missing}\nthe compiler said:\n${err}")
endif()
