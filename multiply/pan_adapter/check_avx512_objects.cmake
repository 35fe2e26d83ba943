# cmake -DNM=<nm> -DOBJECTS=<objects> -P check_avx512_objects.cmake
# Fails when an object compiled with -mavx512f defines a weak (W, V) or unique
# (u) symbol: such a definition may be the one the linker keeps for every
# caller, which would then execute AVX-512 instructions on any processor.
execute_process(COMMAND ${NM} --defined-only ${OBJECTS}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${OBJECTS}")
endif()
string(REGEX MATCHALL "[^\n]* [WVu] [^\n]*" shared "${symbols}")
# DW.ref.__gxx_personality_v0 is a data word holding the address of the C++
# unwinder's personality routine (emitted once an object needs unwind cleanups,
# as under AddressSanitizer): no code, so nothing to keep from other callers.
list(FILTER shared EXCLUDE REGEX " V DW\\.ref\\.__gxx_personality_v0$")
if(shared)
  string(REPLACE ";" "\n" shared "${shared}")
  message(FATAL_ERROR "AVX-512 objects define shareable symbols:\n${shared}")
endif()
string(REGEX MATCHALL "[^\n]* T [^\n]*" entries "${symbols}")
list(LENGTH entries count)
message(STATUS "AVX-512 objects: ${count} entry points, no shareable symbols")
