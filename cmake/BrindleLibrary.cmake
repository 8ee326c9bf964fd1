# brindle_library(<name> SOURCES <files...> LINK <targets...>)
# One static library named brindle_<name> from the files listed; everything includes from the
# source root ("platform/Cp932.h").
function(brindle_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
    add_library(brindle_${name} STATIC ${ARG_SOURCES})
    target_include_directories(brindle_${name} PUBLIC ${BRINDLE_SOURCE_ROOT})
    target_link_libraries(brindle_${name} PUBLIC ${ARG_LINK})
endfunction()

# brindle_test(<folder>_<what> SOURCES <files...> LINK <targets...>)
# One Qt Test executable registered with CTest under its own name, labelled with its folder.
function(brindle_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LINK})
    target_include_directories(${name} PRIVATE ${BRINDLE_SOURCE_ROOT} ${BRINDLE_SOURCE_ROOT}/tests)
    add_test(NAME ${name} COMMAND ${name})
    string(REGEX REPLACE "_.*" "" _folder ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300
                                            LABELS ${_folder})
endfunction()
