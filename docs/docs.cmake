# The README's screenshots are made by this small program (make screenshots).
qt_add_executable(rmq27-screenshots ${CMAKE_CURRENT_SOURCE_DIR}/docs/screenshots.cpp)
target_link_libraries(rmq27-screenshots PRIVATE rmq27)
