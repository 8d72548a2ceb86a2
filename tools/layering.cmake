# Writes build/layering.txt, one line per target of this project:
#   name <TAB> type <TAB> sources <TAB> linked libraries
# (sources as absolute paths, lists separated by ';'), and adds the test "layering", which checks
# with tools/check_layering.py that the libraries' graph has no cycle and that every source
# includes only headers of the libraries its target links.
function(halvoran_collect_targets directory out)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    halvoran_collect_targets(${subdirectory} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

halvoran_collect_targets(${PROJECT_SOURCE_DIR} halvoran_all_targets)
set(halvoran_manifest "")
foreach(target IN LISTS halvoran_all_targets)
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(STATIC_LIBRARY|OBJECT_LIBRARY|INTERFACE_LIBRARY|EXECUTABLE)$")
    continue()
  endif()
  get_target_property(source_dir ${target} SOURCE_DIR)
  get_target_property(sources ${target} SOURCES)
  if(NOT sources)
    set(sources "")
  endif()
  set(absolute "")
  foreach(source IN LISTS sources)
    if(NOT IS_ABSOLUTE ${source})
      set(source ${source_dir}/${source})
    endif()
    list(APPEND absolute ${source})
  endforeach()
  if(type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
  else()
    get_target_property(links ${target} LINK_LIBRARIES)
  endif()
  if(NOT links)
    set(links "")
  endif()
  string(APPEND halvoran_manifest "${target}\t${type}\t${absolute}\t${links}\n")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/layering.txt "${halvoran_manifest}")

find_program(HALVORAN_PYTHON3 python3)
if(BUILD_TESTING AND HALVORAN_PYTHON3)
  # docs/ARCHITECTURE.md draws the graph of the build with the window; a headless build links
  # the program otherwise, so only its layering is checked.
  set(layering_doc --doc ${PROJECT_SOURCE_DIR}/docs/ARCHITECTURE.md)
  if(HALVORAN_HEADLESS)
    set(layering_doc)
  endif()
  add_test(NAME layering
    COMMAND ${HALVORAN_PYTHON3} -B ${PROJECT_SOURCE_DIR}/tools/check_layering.py
            ${CMAKE_BINARY_DIR}/layering.txt ${PROJECT_SOURCE_DIR} ${layering_doc})
  set_tests_properties(layering PROPERTIES LABELS unit TIMEOUT 60)
  # The check's own tests, on small made-up trees.
  add_test(NAME layering_check_rules
    COMMAND ${HALVORAN_PYTHON3} -B -m unittest -q check_layering_test
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tools)
  set_tests_properties(layering_check_rules PROPERTIES LABELS unit TIMEOUT 60)
  # The documents' link check (the package test runs it on the installed documents), on small
  # made-up trees.
  add_test(NAME doc_links_check_rules
    COMMAND ${HALVORAN_PYTHON3} -B -m unittest -q check_doc_links_test
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tools)
  set_tests_properties(doc_links_check_rules PROPERTIES LABELS unit TIMEOUT 60)
elseif(BUILD_TESTING)
  message(STATUS "layering test left out: no python3")
endif()
