cmake_minimum_required(VERSION 3.16)
# Checks the configure warning for builds that embed the development key:
# every build type but Debug warns, and a build with another key does not.
#   cmake -DKV_SOURCE_DIR=<repository> -P devkeywarning.cmake
set(dev_key "${KV_SOURCE_DIR}/keys/dev-only-release-signing.pub")
set(other_key "${CMAKE_CURRENT_BINARY_DIR}/other-key.pub")
file(WRITE "${other_key}" "not the development key")

set(cases
  "${dev_key}|Release|1"
  "${dev_key}|RelWithDebInfo|1"
  "${dev_key}|MinSizeRel|1"
  "${dev_key}|Debug|0"
  "${other_key}|Release|0")
foreach(case ${cases})
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 key)
  list(GET fields 1 type)
  list(GET fields 2 expected)
  set(script "${CMAKE_CURRENT_BINARY_DIR}/devkey-case.cmake")
  file(WRITE "${script}"
    "include(\"${KV_SOURCE_DIR}/cmake/KvHelpers.cmake\")\n"
    "kv_warn_development_key(\"${key}\" \"${type}\")\n")
  execute_process(COMMAND "${CMAKE_COMMAND}" -P "${script}" ERROR_VARIABLE output RESULT_VARIABLE rc)
  string(FIND "${output}" "DEVELOPMENT public key" found)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${key} / '${type}': the check itself failed: ${output}")
  endif()
  if(expected AND found EQUAL -1)
    message(FATAL_ERROR "${key} / '${type}': no warning")
  elseif(NOT expected AND NOT found EQUAL -1)
    message(FATAL_ERROR "${key} / '${type}': unexpected warning: ${output}")
  endif()
endforeach()
file(REMOVE "${other_key}" "${CMAKE_CURRENT_BINARY_DIR}/devkey-case.cmake")
