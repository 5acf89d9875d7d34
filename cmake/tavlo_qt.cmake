# Qt 6 Widgets for the tray application and the settings window: one place for every Qt library of the
# host. tavlo_qt_library() is tavlo_library() with the Qt meta-object compiler switched on.
find_package(Qt6 REQUIRED COMPONENTS Widgets Svg)

function(tavlo_qt_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;DEPS;PRIVATE_DEPS" ${ARGN})
  tavlo_library(${name} DIRS ${ARG_DIRS} DEPS ${ARG_DEPS} Qt6::Widgets Qt6::Svg PRIVATE_DEPS ${ARG_PRIVATE_DEPS})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  # The host's own headers use "signals" and "emit" as plain names: Qt spells them Q_SIGNALS, Q_EMIT.
  target_compile_definitions(${name} PUBLIC QT_NO_KEYWORDS)
endfunction()
