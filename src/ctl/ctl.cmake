# rmq27-ctl: the panel's commands from a shell. Its sources compile against Qt Core and SerialPort
# only, so a widget header included by mistake does not compile.
add_library(rmq27_ctl OBJECT
    ${CMAKE_CURRENT_LIST_DIR}/ctl_options.cpp ${CMAKE_CURRENT_LIST_DIR}/ctl_options.h
    ${CMAKE_CURRENT_LIST_DIR}/ctl_session.cpp ${CMAKE_CURRENT_LIST_DIR}/ctl_session.h)
target_include_directories(rmq27_ctl PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(rmq27_ctl PUBLIC Qt6::Core Qt6::SerialPort)
target_compile_definitions(rmq27_ctl PUBLIC RMQ27_VERSION="${PROJECT_VERSION}")

add_library(rmq27_ctl_main OBJECT ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(rmq27_ctl_main PRIVATE rmq27_ctl)

qt_add_executable(rmq27-ctl $<TARGET_OBJECTS:rmq27_ctl_main>)
target_link_libraries(rmq27-ctl PRIVATE rmq27_ctl rmq27)
