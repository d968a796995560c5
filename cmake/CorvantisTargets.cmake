# Warnings and sanitizers live on INTERFACE targets so that only our own code gets them.
add_library(corvantis_warnings INTERFACE)
target_compile_options(corvantis_warnings INTERFACE
  -Wall -Wextra -Werror -Wold-style-cast -Wnon-virtual-dtor)
# g++ 12's optimiser reports false overlaps and overflows inside libstdc++'s own string and vector code at -O2/-O3
# (GCC bugs 105329 and 105651); they stay visible as warnings but do not stop an optimised build.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(corvantis_warnings INTERFACE
    -Wno-error=restrict -Wno-error=array-bounds -Wno-error=stringop-overflow
    # and, likewise, a std::variant moved out of a std::optional at -O3, reported as maybe uninitialized
    -Wno-error=maybe-uninitialized)
endif()

add_library(corvantis_sanitize INTERFACE)
if(CORVANTIS_SANITIZE STREQUAL "address")
  target_compile_options(corvantis_sanitize INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(corvantis_sanitize INTERFACE -fsanitize=address,undefined)
elseif(CORVANTIS_SANITIZE STREQUAL "thread")
  target_compile_options(corvantis_sanitize INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(corvantis_sanitize INTERFACE -fsanitize=thread)
elseif(NOT CORVANTIS_SANITIZE STREQUAL "")
  message(FATAL_ERROR "CORVANTIS_SANITIZE must be empty, 'address' or 'thread'")
endif()

# Headers CMake writes (the version) live under the same layer paths in the build folder.
set(CORVANTIS_GENERATED_DIR "${PROJECT_BINARY_DIR}/generated")
configure_file("${CMAKE_CURRENT_LIST_DIR}/Version.h.in" "${CORVANTIS_GENERATED_DIR}/core/foundation/Version.h" @ONLY)

# corvantis_layer(NAME) builds one static library from every .cpp in the calling folder.
function(corvantis_layer name)
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  add_library(${name} STATIC ${sources})
  # One include root for the whole tree: every include names its layer ("core/foundation/Log.h").
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}" "${CORVANTIS_GENERATED_DIR}")
  target_link_libraries(${name} PRIVATE corvantis_warnings PUBLIC corvantis_sanitize)
endfunction()
