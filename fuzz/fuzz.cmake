# libFuzzer targets. They need clang and a build of their own, with the library instrumented
# for coverage and checked by the address and undefined-behaviour sanitizers:
#   cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DRMQ27_FUZZ=ON
# `make fuzz` does that, builds them and runs each for FUZZ_SECONDS.
option(RMQ27_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(RMQ27_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "RMQ27_FUZZ needs clang (configure with -DCMAKE_CXX_COMPILER=clang++)")
    endif()
    set(RMQ27_FUZZ_SANITIZERS address,undefined)
    # Coverage and sanitizers in the library; the programs that link it take the runtimes.
    target_compile_options(rmq27 PRIVATE -fsanitize=fuzzer-no-link,${RMQ27_FUZZ_SANITIZERS}
        -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(rmq27 INTERFACE -fsanitize=${RMQ27_FUZZ_SANITIZERS})

    set(RMQ27_FUZZ_TARGETS fuzz_transcript fuzz_reply fuzz_receive)
    foreach(fuzz_target ${RMQ27_FUZZ_TARGETS})
        qt_add_executable(${fuzz_target} ${CMAKE_CURRENT_LIST_DIR}/${fuzz_target}.cpp)
        target_compile_options(${fuzz_target} PRIVATE -fsanitize=fuzzer,${RMQ27_FUZZ_SANITIZERS}
            -fno-sanitize-recover=all -fno-omit-frame-pointer)
        target_link_options(${fuzz_target} PRIVATE -fsanitize=fuzzer,${RMQ27_FUZZ_SANITIZERS})
        target_link_libraries(${fuzz_target} PRIVATE rmq27)
    endforeach()
    add_custom_target(fuzzers DEPENDS ${RMQ27_FUZZ_TARGETS})
endif()
