# Installation and the Debian package (`make package`). Included from the root
# CMakeLists.txt once every target exists.
#
# Installed layout (prefix /usr):
#   bin/varno-backup, bin/varno-ctl, bin/kfs-devserver
#   lib/<multiarch>/libvarno.so              the desktop client's native library
#   share/doc/varno/operating.md             the operator's guide, copyright, changelog.gz
#   /var/lib/varno/                          the agent's working folder (0750)
#   /var/lib/varno/etc/*.emt                 the report templates (etc/ is 0700: varno.ak)
#   /lib/systemd/system/varno-backup@.service, varno-backup@.timer
#
# The working folder is the agent's current directory: etc/hosts, etc/drives and
# etc/varno.ak are the operator's (and the agent's) and are never shipped, so removing the
# package leaves them and every log, index and schedule in place; purging removes them,
# after a copy of etc/varno.ak is put in /var/backups (packaging/debian/postrm).

# The version every tool reports and the package carries.
foreach(tool varno-backup varno-ctl kfs-devserver)
  if(TARGET ${tool})
    target_compile_definitions(${tool} PRIVATE VARNO_VERSION="${PROJECT_VERSION}")
  endif()
endforeach()

set(VARNO_WORKDIR /var/lib/varno)
set(VARNO_UNITDIR /lib/systemd/system)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(VARNO_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(VARNO_LIBDIR lib)
endif()

foreach(program varno-backup varno-ctl kfs-devserver)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
  endif()
endforeach()
if(TARGET varno)
  install(TARGETS varno LIBRARY DESTINATION ${VARNO_LIBDIR} NAMELINK_SKIP)
endif()

install(DIRECTORY DESTINATION ${VARNO_WORKDIR}
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
install(DIRECTORY DESTINATION ${VARNO_WORKDIR}/etc
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
file(GLOB VARNO_TEMPLATES ${PROJECT_SOURCE_DIR}/etc/*.emt)
install(FILES ${VARNO_TEMPLATES} DESTINATION ${VARNO_WORKDIR}/etc
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/varno-backup@.service
              ${PROJECT_SOURCE_DIR}/packaging/varno-backup@.timer
        DESTINATION ${VARNO_UNITDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/operating.md DESTINATION share/doc/varno)

# Debian wants the copyright and the changelog (compressed, without a time stamp) beside
# the documentation. The changelog's first entry names the version being packaged.
set(VARNO_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VARNO_CHANGELOG})
file(STRINGS ${VARNO_CHANGELOG} VARNO_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT VARNO_CHANGELOG_TOP MATCHES "^varno \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/debian/changelog: add an entry for ${PROJECT_VERSION} "
                  "(its first is '${VARNO_CHANGELOG_TOP}')")
endif()
execute_process(COMMAND gzip -9 -n -c ${VARNO_CHANGELOG}
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz RESULT_VARIABLE VARNO_GZIP)
if(NOT VARNO_GZIP EQUAL 0)
  message(FATAL_ERROR "gzip could not compress packaging/debian/changelog")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION share/doc/varno)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varno)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Varno")
set(CPACK_PACKAGE_CONTACT "Varno maintainers <maintainers@varno.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "online backup client: agent, operator tool, native library")
set(CPACK_PACKAGE_DESCRIPTION "varno-backup runs backup jobs described by encrypted schedules and\n\
sends changed blocks, compressed and encrypted under the account's key,\n\
to the backup service. varno-ctl posts, checks and follows jobs;\n\
kfs-devserver is a reference server for trials.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
    ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
find_program(VARNO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VARNO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libssl3, zlib1g, libdeflate0")
endif()
include(CPack)

# The Windows installer: varno-<version>-x64.msi in the build folder, built by wixl from
# packaging/windows/varno.wxs with every build (the Windows tests install it).
if(WIN32)
  set(VARNO_MSI ${PROJECT_BINARY_DIR}/varno-${PROJECT_VERSION}-x64.msi)
  file(GLOB VARNO_MSI_SOURCES ${PROJECT_SOURCE_DIR}/packaging/windows/*)
  add_custom_command(OUTPUT ${VARNO_MSI}
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/windows-package.sh ${VARNO_MSI} ${PROJECT_VERSION}
            $<TARGET_FILE:varno-backup> $<TARGET_FILE:varno-ctl> $<TARGET_FILE:varno>
    DEPENDS varno-backup varno-ctl varno ${VARNO_MSI_SOURCES} ${VARNO_TEMPLATES}
            ${PROJECT_SOURCE_DIR}/docs/operating.md ${PROJECT_SOURCE_DIR}/scripts/windows-package.sh
    VERBATIM)
  add_custom_target(windows-package ALL DEPENDS ${VARNO_MSI})
endif()
