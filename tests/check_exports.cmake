# Checks the shared library's interface as a loader sees it: the dynamic
# symbol table defines exactly the 34 zv_ functions (plus the version node
# they are bound to) and the SONAME carries the major version.
#
#   cmake -DLIB=<libzv_runtime.so> -DNM=<nm> -DREADELF=<readelf> -P check_exports.cmake

foreach(var LIB NM READELF)
  if(NOT ${var})
    message(FATAL_ERROR "check_exports: ${var} not given")
  endif()
endforeach()

set(expected
  zv_index_new zv_index_free zv_index_stats zv_index_snapshot zv_index_mutated
  zv_index_sealed zv_index_delta_count zv_runtime_format_version
  zv_index_build zv_index_export_base
  zv_index_insert zv_index_delete
  zv_index_visible_count zv_index_visible_ids zv_index_export_visible zv_index_search_mvcc
  zv_index_search_full zv_index_search_partition zv_index_scatter_topk
  zv_tuner_defaults zv_index_tuner_oversized
  zv_index_set_ivf zv_index_set_ivf_nprobe zv_index_has_ivf zv_index_clear_ivf
  zv_index_search_ivf
  zv_index_set_rowmeta zv_index_export_rowmeta zv_index_match_ids zv_index_search_filtered
  zv_index_search_full_batch zv_index_search_partition_batch zv_index_search_ivf_batch
  zv_index_search_filtered_batch)
set(version_node ZV_RUNTIME_1)
set(expected_soname libzv_runtime.so.1)

list(LENGTH expected expected_count)
if(NOT expected_count EQUAL 34)
  message(FATAL_ERROR "check_exports: the list names ${expected_count} functions, not 34")
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIB}
  OUTPUT_VARIABLE nm_out ERROR_VARIABLE nm_err RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "check_exports: ${NM} failed (${nm_rc}): ${nm_err}")
endif()

set(errors "")
set(found "")
string(REPLACE "\n" ";" nm_lines "${nm_out}")
foreach(line IN LISTS nm_lines)
  if(line STREQUAL "")
    continue()
  endif()
  # "<address> <type> <name>[@@<version>]"
  if(NOT line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^@ ]+)(@@?([^ ]+))?$")
    string(APPEND errors "  unparsed line: ${line}\n")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  set(version "${CMAKE_MATCH_4}")
  if(name STREQUAL version_node AND type STREQUAL "A")
    continue()
  endif()
  list(FIND expected "${name}" at)
  if(at EQUAL -1)
    string(APPEND errors "  unexpected symbol: ${line}\n")
  elseif(NOT type STREQUAL "T")
    string(APPEND errors "  ${name} is not a function in the text section (type ${type})\n")
  elseif(NOT version STREQUAL version_node)
    string(APPEND errors "  ${name} is not bound to ${version_node} (${line})\n")
  else()
    list(APPEND found "${name}")
  endif()
endforeach()

foreach(name IN LISTS expected)
  list(FIND found "${name}" at)
  if(at EQUAL -1)
    string(APPEND errors "  missing: ${name}\n")
  endif()
endforeach()
list(LENGTH found found_count)
list(REMOVE_DUPLICATES found)
list(LENGTH found distinct_count)
if(NOT found_count EQUAL distinct_count)
  string(APPEND errors "  some function is defined more than once\n")
endif()

execute_process(COMMAND ${READELF} -d ${LIB}
  OUTPUT_VARIABLE elf_out ERROR_VARIABLE elf_err RESULT_VARIABLE elf_rc)
if(NOT elf_rc EQUAL 0)
  message(FATAL_ERROR "check_exports: ${READELF} failed (${elf_rc}): ${elf_err}")
endif()
if(elf_out MATCHES "\\(SONAME\\)[^\n]*\\[([^]\n]*)\\]")
  if(NOT CMAKE_MATCH_1 STREQUAL expected_soname)
    string(APPEND errors "  SONAME is ${CMAKE_MATCH_1}, not ${expected_soname}\n")
  endif()
else()
  string(APPEND errors "  no SONAME\n")
endif()

if(errors)
  message(FATAL_ERROR "check_exports: ${LIB}\n${errors}")
endif()
message(STATUS "check_exports: 34 functions, version ${version_node}, SONAME ${expected_soname}")
