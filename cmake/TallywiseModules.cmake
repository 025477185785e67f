# tw_module(name DIR folder | RECURSE_DIR folder [EXCLUDE_DIRS ...] | FILES f1 f2 ... [EXCLUDE f ...]
#           [DEPS modules] [LIBS libraries])
# A module is a static library; DIR takes every .cpp/.c directly in the folder,
# RECURSE_DIR also those of its subfolders.
function(tw_module name)
  cmake_parse_arguments(M "" "DIR;RECURSE_DIR" "FILES;EXCLUDE;EXCLUDE_DIRS;DEPS;LIBS" ${ARGN})
  set(srcs)
  foreach(f IN LISTS M_FILES)
    if(EXISTS ${PROJECT_SOURCE_DIR}/${f})
      list(APPEND srcs ${PROJECT_SOURCE_DIR}/${f})
    endif()
  endforeach()
  if(M_DIR)
    file(GLOB found CONFIGURE_DEPENDS
      ${PROJECT_SOURCE_DIR}/${M_DIR}/*.cpp ${PROJECT_SOURCE_DIR}/${M_DIR}/*.c)
    list(APPEND srcs ${found})
  endif()
  if(M_RECURSE_DIR)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS
      ${PROJECT_SOURCE_DIR}/${M_RECURSE_DIR}/*.cpp ${PROJECT_SOURCE_DIR}/${M_RECURSE_DIR}/*.c)
    foreach(exdir IN LISTS M_EXCLUDE_DIRS)
      list(FILTER found EXCLUDE REGEX "^${PROJECT_SOURCE_DIR}/${exdir}/")
    endforeach()
    list(APPEND srcs ${found})
  endif()
  foreach(ex IN LISTS M_EXCLUDE)
    list(REMOVE_ITEM srcs ${PROJECT_SOURCE_DIR}/${ex})
  endforeach()
  if(NOT srcs)
    message(STATUS "module ${name}: no sources yet")
    return()
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>)
  # A module whose folder has no sources yet is skipped, and so is the dependency on it.
  set(deps)
  foreach(d IN LISTS M_DEPS)
    if(TARGET ${d})
      list(APPEND deps ${d})
    endif()
  endforeach()
  target_link_libraries(${name} PUBLIC ${deps} ${M_LIBS})
  set_property(GLOBAL APPEND PROPERTY TW_MODULES ${name})
  set_property(GLOBAL APPEND PROPERTY TW_MODULE_LIBS ${M_LIBS})
endfunction()

# The installable libraries: one static and one shared, made of every module's objects.
function(tw_library)
  get_property(mods GLOBAL PROPERTY TW_MODULES)
  get_property(libs GLOBAL PROPERTY TW_MODULE_LIBS)
  list(REMOVE_DUPLICATES libs)
  set(objs)
  foreach(m IN LISTS mods)
    list(APPEND objs $<TARGET_OBJECTS:${m}>)
  endforeach()
  add_library(tallywise_static STATIC ${objs})
  add_library(tallywise SHARED ${objs})
  set_target_properties(tallywise_static PROPERTIES OUTPUT_NAME tallywise EXPORT_NAME tallywise_static)
  set_target_properties(tallywise PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  foreach(t tallywise tallywise_static)
    add_dependencies(${t} ${mods})
    target_include_directories(${t} INTERFACE
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tallywise>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    # C++ consumers need C++20; C consumers of tallywise/tallywise.h are not affected.
    target_compile_features(${t} INTERFACE cxx_std_20)
  endforeach()
  target_link_libraries(tallywise PRIVATE ${libs})
  target_link_libraries(tallywise_static INTERFACE ${libs})
  set(TW_ALL_LIBS ${libs} PARENT_SCOPE)
endfunction()

# tw_test(name SOURCES... LINK modules...): one GoogleTest executable, each case a CTest test.
function(tw_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LINK} GTest::gmock GTest::gtest_main)
  # No test reaches out of the machine: a library left on the real environment (the
  # process-wide experiment manager, for one) talks to a closed local port.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300 ENVIRONMENT "TALLYWISE_MEASUREMENT_SERVICE_URL=http://127.0.0.1:9")
endfunction()
