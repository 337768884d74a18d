# The stand-alone simulated projector: a thin main() over the SimProjector in the library.
qt_add_executable(rmq27-projector-sim ${CMAKE_CURRENT_SOURCE_DIR}/src/sim/tool/main.cpp)
target_link_libraries(rmq27-projector-sim PRIVATE rmq27)
