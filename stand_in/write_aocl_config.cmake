# Writes korvane_aocl_config.h at build time: the configured AOCL-BLAS path
# and its digest (computed here from the file when none was configured).
# Arguments: -DLIBRARY=<path> -DSHA256=<hex or empty> -DOUTPUT=<header>
if(SHA256 STREQUAL "")
  if(NOT EXISTS "${LIBRARY}")
    message(FATAL_ERROR "AOCL-BLAS library not found: ${LIBRARY}")
  endif()
  file(SHA256 "${LIBRARY}" SHA256)
endif()
string(REPLACE "\\" "\\\\" _path "${LIBRARY}")
string(REPLACE "\"" "\\\"" _path "${_path}")
set(_text "/* Generated at build time: the AOCL-BLAS library the program loads. */
#ifndef KORVANE_AOCL_CONFIG_H
#define KORVANE_AOCL_CONFIG_H
#define KORVANE_AOCL_LIBRARY_PATH \"${_path}\"
#define KORVANE_AOCL_LIBRARY_SHA256 \"${SHA256}\"
#endif
")
file(WRITE "${OUTPUT}.tmp" "${_text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
