# Shared build rules: warnings, sanitizers, and the one-test-executable-per-folder convention.

# g++ 12 reports -Wmaybe-uninitialized falsely for moved-from std::variant members at -O2 (our
# property-list values are variants), so that one warning is left out.
set(BRELLIS_WARNINGS -Wall -Wextra -Wno-missing-field-initializers -Wno-maybe-uninitialized)
if(BRELLIS_WERROR)
  list(APPEND BRELLIS_WARNINGS -Werror)
endif()

if(BRELLIS_SANITIZE)
  add_compile_options(-fsanitize=${BRELLIS_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${BRELLIS_SANITIZE})
  if(BRELLIS_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
  if(BRELLIS_SANITIZE MATCHES "thread")
    # asio's fenced blocks use atomic_thread_fence, which g++ warns TSan cannot model.
    add_compile_options(-Wno-tsan)
  endif()
endif()

# brellis_library(<target> SOURCES ... DEPS ... PRIVATE_DEPS ...)
# A static library rooted at the repository root, so includes read "platform/dispatch/...".
# DEPS are what the library's headers expose (PUBLIC); PRIVATE_DEPS what only its sources use.
function(brellis_library target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${target} STATIC ${ARG_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${BRELLIS_WARNINGS})
  target_link_libraries(${target} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

# brellis_tests(<label> SOURCES ... DEPS ... [PROPERTIES ...])
# One GoogleTest executable per folder, every test carrying the folder's ctest label. Targets may
# name targets of folders configured later: CMake resolves them when it generates.
function(brellis_tests label)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PROPERTIES" ${ARGN})
  set(target ${label}_tests)
  add_executable(${target} ${ARG_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${BRELLIS_WARNINGS})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} GTest::gtest testing_test_main)
  gtest_discover_tests(${target}
    PROPERTIES LABELS "${label}" ${ARG_PROPERTIES}
    DISCOVERY_TIMEOUT 60)
endfunction()

# brellis_folder_library(<target> DEPS ... PRIVATE_DEPS ... TEST_DEPS ...)
# For folders that several people add to: every *.cpp directly in the folder is a source of the
# library and every tests/*.cpp a source of its test executable (label = <target>). DEPS and
# PRIVATE_DEPS as for brellis_library; TEST_DEPS are what the tests use beyond the library.
# A folder without sources or without tests stops the configuration.
function(brellis_folder_library target)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS;TEST_DEPS;TEST_PROPERTIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(NOT sources OR NOT test_sources)
    message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}: a library folder needs its sources (*.cpp) "
                        "and its tests (tests/*.cpp)")
  endif()
  brellis_library(${target} SOURCES ${sources} DEPS ${ARG_DEPS} PRIVATE_DEPS ${ARG_PRIVATE_DEPS})
  brellis_tests(${target} SOURCES ${test_sources} DEPS ${target} ${ARG_TEST_DEPS}
                PROPERTIES ${ARG_TEST_PROPERTIES})
endfunction()

# brellis_add_folders(<folder>...)
# Adds the listed subfolders of the current folder, in order. A listed folder without a
# CMakeLists.txt stops the configuration, and so does a subfolder with one that nobody added: no
# part of the tree is left out silently. Folders below another folder's CMakeLists.txt are that
# folder's to add.
function(brellis_add_folders)
  foreach(folder IN LISTS ARGN)
    set(path ${CMAKE_CURRENT_SOURCE_DIR}/${folder})
    if(NOT EXISTS ${path}/CMakeLists.txt)
      message(FATAL_ERROR "${path}: listed in ${CMAKE_CURRENT_LIST_FILE} but missing "
                          "(no CMakeLists.txt)")
    endif()
    set_property(GLOBAL APPEND PROPERTY BRELLIS_ADDED_FOLDERS ${path})
    add_subdirectory(${folder})
  endforeach()
  get_property(added GLOBAL PROPERTY BRELLIS_ADDED_FOLDERS)
  file(GLOB found RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt ${CMAKE_CURRENT_SOURCE_DIR}/*/*/CMakeLists.txt)
  foreach(file IN LISTS found)
    get_filename_component(folder ${file} DIRECTORY)
    get_filename_component(parent ${folder} DIRECTORY)
    if(parent AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${parent}/CMakeLists.txt)
      continue()
    endif()
    if(NOT ${CMAKE_CURRENT_SOURCE_DIR}/${folder} IN_LIST added)
      message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}/${folder} has a CMakeLists.txt but is not "
                          "listed in ${CMAKE_CURRENT_LIST_FILE}")
    endif()
  endforeach()
endfunction()

# Fuzzing (clang only: configure with CC=clang CXX=clang++ -DBRELLIS_FUZZ=ON).
# brellis_fuzz_target(<name> SOURCES ... [DEPS ...]) makes the libFuzzer executable fuzz_<name>,
# part of the aggregate target brellis_fuzz_targets. The sources of the decoder under test are
# listed directly, so they are compiled with the fuzzer's instrumentation and nothing else of the
# tree has to build with clang.
if(BRELLIS_FUZZ AND NOT TARGET brellis_fuzz_targets)
  add_custom_target(brellis_fuzz_targets)
endif()

function(brellis_fuzz_target name)
  if(NOT BRELLIS_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(fuzz_${name} ${ARG_SOURCES})
  target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(fuzz_${name} PRIVATE ${BRELLIS_WARNINGS}
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -g)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(fuzz_${name} PRIVATE ${ARG_DEPS})
  add_dependencies(brellis_fuzz_targets fuzz_${name})
endfunction()
