# Fails when the shared library exports a defined symbol that does not belong to one of
# its Qv classes (hidden visibility must keep helpers, kernels and std:: instantiations in).
execute_process(COMMAND nm -D --defined-only -C "${LIB}"
    OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(count 0)
foreach(line IN LISTS lines)
    if(line STREQUAL "")
        continue()
    endif()
    string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" sym "${line}")
    # __odr_asan.* marks an exported global under AddressSanitizer.
    if(sym MATCHES "^(vtable for |typeinfo for |typeinfo name for )?Qv[A-Za-z0-9]*(::|$)"
       OR sym MATCHES "^__odr_asan\\._ZN[0-9]+Qv")
        math(EXPR count "${count} + 1")
    else()
        message(SEND_ERROR "unexpected export: ${line}")
    endif()
endforeach()
if(count EQUAL 0)
    message(FATAL_ERROR "no Qv class symbols exported from ${LIB}")
endif()
message(STATUS "${count} exported symbols, all of Qv classes")
