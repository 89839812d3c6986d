# Small helpers shared by the project's CMakeLists files.

# Warnings for our own targets only; dependencies' headers come in as SYSTEM.
function(norvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wshadow)
  if(NORVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Sanitizers over all project code (static library, modules, tools, tests).
function(norvane_sanitize target)
  if(NORVANE_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    # With the instrumentation, GCC 12 reports uninitialised reads inside
    # libstdc++'s <regex> that are not there; under CI's -Werror they would
    # stop the sanitized build. The sanitizers check the real thing at run time.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

function(norvane_project_target target)
  norvane_warnings(${target})
  norvane_sanitize(${target})
endfunction()

# Copies a dependency's shared library (and its SONAME link) into the libs
# folder beside the modules, unless it lives in a system directory that the
# loader searches anyway. Extra files next to it that it needs at run time are
# named by glob (EXTRA libmbed*.so.*).
function(norvane_bundle_library imported)
  cmake_parse_arguments(ARG "" "" "EXTRA" ${ARGN})
  get_target_property(loc ${imported} IMPORTED_LOCATION)
  if(NOT loc)
    get_target_property(loc ${imported} IMPORTED_LOCATION_RELWITHDEBINFO)
  endif()
  if(NOT loc)
    get_target_property(loc ${imported} IMPORTED_LOCATION_RELEASE)
  endif()
  if(NOT loc)
    message(FATAL_ERROR "no library file known for ${imported}")
  endif()
  get_filename_component(dir "${loc}" DIRECTORY)
  if(dir MATCHES "^/(usr/)?lib(64)?(/|$)")
    return()
  endif()
  set(files "${loc}")
  foreach(pattern IN LISTS ARG_EXTRA)
    file(GLOB more "${dir}/${pattern}")
    list(APPEND files ${more})
  endforeach()
  file(GLOB sonames "${dir}/*.so.*")
  foreach(f IN LISTS sonames)
    # SONAME links that point at one of the bundled files come along too.
    if(IS_SYMLINK "${f}")
      file(READ_SYMLINK "${f}" tgt)
      get_filename_component(tgt_name "${tgt}" NAME)
      foreach(b IN LISTS files)
        get_filename_component(b_name "${b}" NAME)
        if(tgt_name STREQUAL b_name)
          list(APPEND files "${f}")
        endif()
      endforeach()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES files)
  file(COPY ${files} DESTINATION "${NORVANE_LIBS_DIR}")
  set_property(GLOBAL APPEND PROPERTY NORVANE_BUNDLED_FILES ${files})
endfunction()

# An extension module built into the one import directory, finding the
# bundled shared libraries through its own location. --disable-new-dtags makes
# that search path apply to the libraries' own dependencies too.
function(norvane_add_module name)
  pybind11_add_module(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY "${NORVANE_PYTHON_DIR}"
    BUILD_RPATH "$ORIGIN/${NORVANE_LIBS_SUBDIR}"
    INSTALL_RPATH "$ORIGIN/${NORVANE_LIBS_SUBDIR}")
  target_link_options(${name} PRIVATE "LINKER:--disable-new-dtags")
  norvane_project_target(${name})
endfunction()
