# The warning list of every target, shared by the main build and the fuzz
# build (included by both CMakeLists.txt).
set(SELVANE_WARNINGS
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wold-style-cast -Wcast-qual -Wformat=2 -Wundef -Wnon-virtual-dtor
    -Woverloaded-virtual -Wimplicit-fallthrough -Wnull-dereference
    -Wmissing-declarations -Wdouble-promotion)

# At -O2 and above, GCC 12 runs these flow-based checks on libstdc++ code
# after inlining and reports paths that cannot happen (vector::resize seen as
# a null store, string appends as overlapping copies). They stay warnings
# there; unoptimised builds, where they are exact, keep them as errors.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND SELVANE_WARNINGS
       $<$<NOT:$<CONFIG:Debug>>:-Wno-error=null-dereference>
       $<$<NOT:$<CONFIG:Debug>>:-Wno-error=array-bounds>
       $<$<NOT:$<CONFIG:Debug>>:-Wno-error=restrict>
       $<$<NOT:$<CONFIG:Debug>>:-Wno-error=stringop-overflow>)
endif()

# The sources of the core library, which never includes Python.h.
file(GLOB_RECURSE SELVANE_CORE_SOURCES CONFIGURE_DEPENDS
     ${SELVANE_ROOT}/src/base/*.cc
     ${SELVANE_ROOT}/src/text/*.cc
     ${SELVANE_ROOT}/src/model/*.cc
     ${SELVANE_ROOT}/src/codec/*.cc
     ${SELVANE_ROOT}/src/training/*.cc)
