# Installation: the library (with its SONAME), the public headers under
# include/QvUtility/, a CMake package with the namespaced target QvUtility::qvutility and
# a pkg-config file. The tool installs itself from tools/qvutil.
include(CMakePackageConfigHelpers)

set(QV_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/QvUtility")

install(TARGETS qvutility EXPORT QvUtilityTargets
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
    INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/QvUtility")

# Every header beside the sources is public; internal/ stays behind.
file(GLOB QV_PUBLIC_HEADERS CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/moudle/utility/*.h")
install(FILES ${QV_PUBLIC_HEADERS} "${PROJECT_BINARY_DIR}/generated/QvVersion.h"
    DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/QvUtility")

install(EXPORT QvUtilityTargets NAMESPACE QvUtility:: DESTINATION "${QV_CMAKE_DIR}")
configure_package_config_file(cmake/QvUtilityConfig.cmake.in
    "${PROJECT_BINARY_DIR}/QvUtilityConfig.cmake" INSTALL_DESTINATION "${QV_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/QvUtilityConfigVersion.cmake"
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/QvUtilityConfig.cmake" "${PROJECT_BINARY_DIR}/QvUtilityConfigVersion.cmake"
    DESTINATION "${QV_CMAKE_DIR}")

# The .pc file finds its prefix from where it lies (pkg-config's ${pcfiledir}), so it is
# right for any `cmake --install --prefix` and after the tree is moved.
file(RELATIVE_PATH QV_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
string(REGEX REPLACE "/$" "" QV_PC_UP "${QV_PC_UP}")
foreach(kind LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
        set(QV_PC_${kind} "${CMAKE_INSTALL_${kind}}")
    else()
        set(QV_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
    endif()
endforeach()
set(QV_PC_CFLAGS "")
if(NOT BUILD_SHARED_LIBS)
    set(QV_PC_CFLAGS " -DQV_STATIC")
endif()
configure_file(cmake/qvutility.pc.in "${PROJECT_BINARY_DIR}/qvutility.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/qvutility.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# Packages a user downloads (cpack in the build folder): a .deb on Linux, a .zip on
# Windows with the DLL, its import library, the headers, the CMake package and qvutil.exe.
set(CPACK_PACKAGE_NAME qvutility)
set(CPACK_PACKAGE_VENDOR "QvUtility")
set(CPACK_PACKAGE_CONTACT "QvUtility developers <qvutility@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Utility classes for video applications (buffers, bit streams, start codes, Base64, MD5/SHA-1) and the qvutil tool")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_STRIP_FILES ON)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(CPACK_SYSTEM_NAME win64)
    else()
        set(CPACK_SYSTEM_NAME win32)
    endif()
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION libs)
    # Dependencies (libc6, libstdc++6 ...) as dpkg-shlibdeps finds them in the binaries.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
endif()
include(CPack)
