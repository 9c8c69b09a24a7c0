# Compiles driver_locking.cpp as the build compiles driver code (COMPILER,
# and FLAGS and INCLUDES as |-separated lists) and requires clang's
# thread-safety analysis to accept it as written and to reject each planted
# locking fault with the diagnostic for that fault.
#
#   cmake -DCOMPILER=... -DFLAGS=... -DINCLUDES=... -DSNIPPET=... -P check.cmake
string(REPLACE "|" ";" flags "${FLAGS}")
string(REPLACE "|" ";" includes "${INCLUDES}")
list(TRANSFORM includes PREPEND "-I")

function(compile_snippet define result_var output_var)
  execute_process(
    COMMAND ${COMPILER} ${flags} -std=c++17 -fshort-wchar -fsyntax-only ${includes} ${define} ${SNIPPET}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${result_var} "${result}" PARENT_SCOPE)
  set(${output_var} "${output}" PARENT_SCOPE)
endfunction()

set(failures 0)

compile_snippet("" result output)
if(NOT result EQUAL 0)
  message(SEND_ERROR "correctly locked unit did not compile:\n${output}")
  math(EXPR failures "${failures} + 1")
endif()

# Each fault and the text its diagnostic must carry.
set(faults
  "FAULT_CALL_WITHOUT_LOCK|calling function 'Bump' requires holding spin lock 'Context->StateLock'"
  "FAULT_RETURN_HOLDING_SPIN_LOCK|'Context->StateLock' is not held on every path"
  "FAULT_READ_UNGUARDED|reading variable 'Count' requires holding spin lock 'Context->StateLock'"
  "FAULT_WAIT_LOCK_KEPT_ON_ERROR|'Context->CommandLock' is not held on every path")
foreach(entry IN LISTS faults)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 fault)
  list(GET entry 1 expected)
  compile_snippet("-D${fault}" result output)
  string(FIND "${output}" "${expected}" at)
  if(result EQUAL 0)
    message(SEND_ERROR "${fault}: compiled, the analysis did not reject it")
    math(EXPR failures "${failures} + 1")
  elseif(at EQUAL -1 OR NOT output MATCHES "-Wthread-safety-analysis")
    message(SEND_ERROR "${fault}: failed without the thread-safety diagnostic \"${expected}\":\n${output}")
    math(EXPR failures "${failures} + 1")
  else()
    message(STATUS "${fault}: rejected as expected")
  endif()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} of the lock-annotation checks failed")
endif()
