# Install rules: the four modules and the ravelin package go into a Python
# package folder with the bundled shared libraries beside them (norvane.libs),
# and virtual-ph-server into bin/.
#
#   cmake --install build                the site-packages of the interpreter
#                                        the build uses
#   cmake --install build --prefix DIR   DIR/lib/python3.12/site-packages, DIR/bin
#
# Included at the end of the top-level CMakeLists.txt, once every target and
# bundled library is known.

# Where the interpreter puts compiled packages, relative to its own prefix, so
# that the default prefix lands in its site-packages and any other prefix gets
# the same layout.
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
    "import os, sys, sysconfig; p = os.path.relpath(sysconfig.get_path('platlib'), sys.exec_prefix); print(sys.exec_prefix); print(p if not p.startswith('..') else 'lib/python%d.%d/site-packages' % sys.version_info[:2])"
  OUTPUT_VARIABLE _norvane_python_layout
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE _norvane_python_result)
if(NOT _norvane_python_result EQUAL 0)
  message(FATAL_ERROR "cannot ask ${Python_EXECUTABLE} for its package folder")
endif()
string(REPLACE "\n" ";" _norvane_python_layout "${_norvane_python_layout}")
list(GET _norvane_python_layout 0 _norvane_python_prefix)
list(GET _norvane_python_layout 1 _norvane_python_platlib)

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "${_norvane_python_prefix}" CACHE PATH "Install prefix (default: the interpreter's)" FORCE)
endif()
set(NORVANE_INSTALL_PYTHONDIR "${_norvane_python_platlib}" CACHE STRING
  "Folder for the modules and ravelin, relative to the install prefix")
set(NORVANE_INSTALL_BINDIR "bin" CACHE STRING "Folder for virtual-ph-server, relative to the install prefix")

set(_norvane_libs_dest "${NORVANE_INSTALL_PYTHONDIR}/${NORVANE_LIBS_SUBDIR}")

# The modules' INSTALL_RPATH is $ORIGIN/norvane.libs (ravelin's _host one
# level down), so they only need to stay beside that folder.
install(TARGETS _kestrum _mirlow _tarrowby _gantree LIBRARY DESTINATION "${NORVANE_INSTALL_PYTHONDIR}")
install(TARGETS ravelin_host LIBRARY DESTINATION "${NORVANE_INSTALL_PYTHONDIR}/ravelin")
install(FILES "${PROJECT_SOURCE_DIR}/host/ravelin/__init__.py" DESTINATION "${NORVANE_INSTALL_PYTHONDIR}/ravelin")

# The dependency libraries copied for the build, SONAME links included (they
# are installed as links). Libraries found in system folders are not bundled.
get_property(_norvane_bundled GLOBAL PROPERTY NORVANE_BUNDLED_FILES)
if(_norvane_bundled)
  install(FILES ${_norvane_bundled} DESTINATION "${_norvane_libs_dest}")
endif()

# The simulator finds the same bundled libraries from bin/. An RPATH, not a
# RUNPATH (it is linked with --disable-new-dtags), so it serves libopen62541's
# own dependencies too.
if(IS_ABSOLUTE "${NORVANE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${NORVANE_INSTALL_PYTHONDIR}")
  set(_norvane_server_rpath "${_norvane_libs_dest}")
  if(NOT IS_ABSOLUTE "${_norvane_server_rpath}")
    set(_norvane_server_rpath "${CMAKE_INSTALL_PREFIX}/${_norvane_server_rpath}")
  endif()
else()
  file(RELATIVE_PATH _norvane_server_rpath "/prefix/${NORVANE_INSTALL_BINDIR}" "/prefix/${_norvane_libs_dest}")
  set(_norvane_server_rpath "$ORIGIN/${_norvane_server_rpath}")
endif()
set_target_properties(virtual_ph_server PROPERTIES INSTALL_RPATH "${_norvane_server_rpath}")
install(TARGETS virtual_ph_server RUNTIME DESTINATION "${NORVANE_INSTALL_BINDIR}")
