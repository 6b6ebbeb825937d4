# Debian packages of a build, made by `cpack -G DEB` in the build folder: the shared library (the
# runtime component), what a host builds against (the development component: header, CMake package
# and pkg-config module) and the pyqtwrap tool with its manual page (the tool component). Names
# follow Debian's rules for a library, from the soname: liborn.kestra.pyqtwrapping1,
# liborn.kestra.pyqtwrapping-dev and pyqtwrap for Qt 5, liborn.kestra.pyqtwrapping-qt6-1,
# liborn.kestra.pyqtwrapping-qt6-dev and pyqtwrap-qt6 for Qt 6, so that both install side by side
# as the builds do. Configure with -DCMAKE_INSTALL_PREFIX=/usr, so that the library goes to
# Debian's multiarch folder.
string(TOLOWER "liborn.kestra.pyqtwrapping${PYQTWRAPPING_QT_MARK_LOWER}" _base)
# A name that ends in a digit takes a hyphen before the soname's version.
if(_base MATCHES "[0-9]$")
  set(_runtime ${_base}-${PROJECT_VERSION_MAJOR})
else()
  set(_runtime ${_base}${PROJECT_VERSION_MAJOR})
endif()
set(_release 1)

# What building against the library needs besides it: its Qt's and its interpreter's development
# files, the packages that provide the CMake and pkg-config modules the library's own ones require.
if(PYQTWRAPPING_QT_MAJOR STREQUAL "5")
  set(_qt_dev qtbase5-dev)
else()
  set(_qt_dev qt6-base-dev)
endif()
set(_python_dev python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}-dev)
if(PYQTWRAPPING_PYTHON_DEBUG)
  set(_python_dev python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}-dbg)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${_base})
set(CPACK_PACKAGE_VENDOR "Orn Kestra")
set(CPACK_PACKAGE_CONTACT "Orn Kestra Pyqtwrapping developers <pyqtwrapping@orn-kestra.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "value conversions between embedded CPython and Qt")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_COMPONENTS_ALL runtime development tool)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${_release})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orn-kestra.org/pyqtwrapping")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool's package links the library of the runtime one, found in the build.
get_target_property(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PYQTWRAPPING_TARGET} BINARY_DIR)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${_base}-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "${_runtime} (= ${PROJECT_VERSION}-${_release}), ${_qt_dev}, ${_python_dev}")
# CPack indents the extended description itself and marks its empty lines.
set(_about "A C++17 library for applications that embed both a CPython interpreter
and Qt ${PYQTWRAPPING_QT_MAJOR}. It converts Python numbers, strings, sequences, nested dicts
and NumPy arrays to Qt values and back, exact to the bit and to the
reference count.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY} (Qt ${PYQTWRAPPING_QT_MAJOR})
${_about}

This package holds the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY} (Qt ${PYQTWRAPPING_QT_MAJOR}, development)
${_about}

This package holds the header, the CMake package and the pkg-config module.")
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME pyqtwrap${PYQTWRAPPING_QT_MARK_LOWER})
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "shows what a Python value becomes in Qt ${PYQTWRAPPING_QT_MAJOR}, and back
${_about}

This package holds pyqtwrap${PYQTWRAPPING_QT_MARK_LOWER}, which embeds the interpreter as a host does,
converts a Python value with the library and prints what it became and what
came back, and writes the library's conversion reference.")

# The library's shlibs entry, so that packages built against it depend on this version or later,
# and the ldconfig trigger that updates the loader's cache when it is installed or removed.
set(_control ${PROJECT_BINARY_DIR}/packaging/control)
file(WRITE ${_control}/shlibs "libOrn.Kestra.Pyqtwrapping${PYQTWRAPPING_QT_MARK_LOWER} ${PROJECT_VERSION_MAJOR} ${_runtime} (>= ${PROJECT_VERSION})\n")
file(WRITE ${_control}/triggers "activate-noawait ldconfig\n")
# CPack writes maintainer scripts that call ldconfig themselves; the trigger does that work, and
# DebianRepack.cmake takes the scripts out (CMake 3.19 and later run it).
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianRepack.cmake)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_control}/shlibs ${_control}/triggers)
# The runtime package's symbols file is made by DebianRepack.cmake from the packaged library, with
# the first version of each symbol taken from abi/PACKAGE.symbols (scripts/checks/abi.sh --update
# adds a new member there with the project's version), so that a host package built against this
# one depends on the version that brought the newest member it uses.
set(CPACK_PYQTWRAPPING_RUNTIME_PACKAGE ${_runtime})
set(CPACK_PYQTWRAPPING_SYMBOLS ${PROJECT_SOURCE_DIR}/abi/${_runtime}.symbols)
# For abi.sh: the runtime package and the development one that a host's build depends on.
file(WRITE ${_control}/packages "${_runtime} ${_base}-dev\n")

# Every Debian package carries its copyright file and changelog under /usr/share/doc/NAME.
foreach(_component runtime development tool)
  string(TOUPPER ${_component} _upper)
  set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${_upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${_doc} COMPONENT ${_component})
  string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/${_component}/changelog.Debian
    "${CPACK_DEBIAN_${_upper}_PACKAGE_NAME} (${PROJECT_VERSION}-${_release}) unstable; urgency=medium\n\n"
    "  * Built from the project's sources.\n\n -- ${CPACK_PACKAGE_CONTACT}  ${_date}\n")
  execute_process(COMMAND gzip -9nf -k changelog.Debian
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging/${_component})
  install(FILES ${PROJECT_BINARY_DIR}/packaging/${_component}/changelog.Debian.gz DESTINATION ${_doc}
    COMPONENT ${_component})
endforeach()

include(CPack)
