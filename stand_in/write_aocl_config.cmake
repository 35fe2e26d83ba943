# Writes korvane_aocl_config.h at build time: the configured AOCL-BLAS path,
# its digest (computed here from the file when none was configured) and the
# path of the thread-key shim loaded into its namespace first.
# Arguments: -DLIBRARY=<path> -DSHA256=<hex or empty> -DKEY_SHIM=<path> -DOUTPUT=<header>
if(SHA256 STREQUAL "")
  if(NOT EXISTS "${LIBRARY}")
    message(FATAL_ERROR "AOCL-BLAS library not found: ${LIBRARY}")
  endif()
  file(SHA256 "${LIBRARY}" SHA256)
endif()
function(c_string_text out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
c_string_text(_path "${LIBRARY}")
c_string_text(_shim "${KEY_SHIM}")
set(_text "/* Generated at build time: the AOCL-BLAS library the program loads, and the
 * thread-key shim it loads into the library's namespace first. */
#ifndef KORVANE_AOCL_CONFIG_H
#define KORVANE_AOCL_CONFIG_H
#define KORVANE_AOCL_LIBRARY_PATH \"${_path}\"
#define KORVANE_AOCL_LIBRARY_SHA256 \"${SHA256}\"
#define KORVANE_AOCL_KEY_SHIM_PATH \"${_shim}\"
#endif
")
file(WRITE "${OUTPUT}.tmp" "${_text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
