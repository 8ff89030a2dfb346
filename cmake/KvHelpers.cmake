# Directory of this file, for helpers that find files of the repository.
set(KV_HELPERS_DIR "${CMAKE_CURRENT_LIST_DIR}")

# Adds every direct subdirectory of DIR that has a CMakeLists.txt, so that
# each area (tests, benchmarks, fuzzers) keeps its own build file.
function(kv_add_subdirectories dir)
  file(GLOB children LIST_DIRECTORIES true "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*")
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY "${child}" AND EXISTS "${child}/CMakeLists.txt")
      add_subdirectory("${child}")
    endif()
  endforeach()
endfunction()

# Qt Test executable registered with CTest. Usage:
#   kv_add_qtest(NAME tst_foo SOURCES a.cpp b.cpp LIBS lib1 lib2)
function(kv_add_qtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBS} kv_warnings)
  set_target_properties(${T_NAME} PROPERTIES AUTOMOC ON)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KV_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# GoogleTest executable for the Qt-free libraries. Usage:
#   kv_add_gtest(NAME test_foo SOURCES a.cpp LIBS lib1)
function(kv_add_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE GTest::gtest GTest::gtest_main ${T_LIBS} kv_warnings)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "KV_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# libFuzzer target (KV_FUZZ builds, clang only). Usage:
#   kv_add_fuzzer(NAME fuzz_foo SOURCES f.cpp LIBS kvpatch)
function(kv_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS} kv_warnings)
endfunction()

# Static library from every .cpp in DIR; an interface library while the
# directory holds no sources yet, so that dependants link either way.
function(kv_add_glob_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  file(GLOB headers CONFIGURE_DEPENDS "${dir}/*.h")
  if(sources)
    add_library(${name} STATIC ${sources} ${headers})
    target_include_directories(${name} PUBLIC "${dir}")
    target_link_libraries(${name} PRIVATE kv_warnings)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE "${dir}")
  endif()
endfunction()

# Links LIBS to TARGET as PUBLIC or INTERFACE, whichever TARGET allows.
function(kv_link_public target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_link_libraries(${target} INTERFACE ${ARGN})
  else()
    target_link_libraries(${target} PUBLIC ${ARGN})
  endif()
endfunction()

# With globbed sources, a newly added header reaches the moc settings when
# CMake re-runs, but Ninja's moc step only watches the headers it saw last
# time. When the list of files changes, dropping the step's timestamp makes
# it run again.
function(kv_autogen_on_new_files target)
  set(list_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_sources.txt")
  string(REPLACE ";" "\n" content "${ARGN}")
  set(old_content "")
  if(EXISTS "${list_file}")
    file(READ "${list_file}" old_content)
  endif()
  if(NOT old_content STREQUAL "${content}")
    file(WRITE "${list_file}" "${content}")
    file(REMOVE "${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/timestamp")
  endif()
endfunction()

# The development key's private half is in the repository: anyone can sign
# product inis that a build embedding its public half accepts. Only a Debug
# build (tests, development) should carry it; every other build type that
# embeds KEY_FILE with the development key's content says so at configure
# time (a notice: such builds are what the tests and the sample use).
function(kv_warn_development_key key_file build_type)
  file(SHA256 "${key_file}" key_sha)
  file(SHA256 "${KV_HELPERS_DIR}/../keys/dev-only-release-signing.pub" dev_key_sha)
  if(key_sha STREQUAL dev_key_sha AND NOT build_type STREQUAL "Debug")
    message(NOTICE
      "Note: this ${build_type} build embeds the DEVELOPMENT public key "
      "(keys/dev-only-release-signing.pub), whose private half is in the repository: "
      "it accepts product inis that anyone can sign. Do not ship it. A release build "
      "sets -DKV_PRODUCT_INI_PUBLIC_KEY=<the release public key file>.")
  endif()
endfunction()
