# The panel's picture, compiled into the rmq27 library. The target form of qt_add_resources
# links the resource objects into every program that links rmq27, so ":/resources/image1.png"
# loads without Q_INIT_RESOURCE. panel.qrc lists the same file under the same path for Designer.
qt_add_resources(rmq27 "panel_images"
    PREFIX "/"
    BASE ${CMAKE_CURRENT_LIST_DIR}
    FILES ${CMAKE_CURRENT_LIST_DIR}/resources/image1.png)

# Sources outside src/panel (the window's members in other folders, the tests) include
# "ui_form1.h"; AUTOUIC looks for form1.ui beside the including file unless told where else.
# The variable covers every target defined after this file is included.
set_property(TARGET rmq27 APPEND PROPERTY AUTOUIC_SEARCH_PATHS ${CMAKE_CURRENT_LIST_DIR})
set(CMAKE_AUTOUIC_SEARCH_PATHS ${CMAKE_CURRENT_LIST_DIR})
