# The benchmark program: figures for the panel on the real window and a real pseudo-terminal.
# `make bench` builds and runs it.
find_package(Threads REQUIRED)
qt_add_executable(rmq27-bench ${CMAKE_CURRENT_LIST_DIR}/bench.cpp)
target_link_libraries(rmq27-bench PRIVATE rmq27 Qt6::Test Threads::Threads)
