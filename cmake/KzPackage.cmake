# What `make package` puts into the packages: a Debian package on Linux (CPack DEB), a ZIP
# for each Windows architecture (CPack ZIP). The programs are linked statically on Windows;
# the 32-bit ZIP carries our LAN library Kevrosa.dll beside them.
include(GNUInstallDirs)
set(CPACK_PACKAGE_NAME kzmnt)
set(CPACK_PACKAGE_VENDOR "KZ maintenance tool developers")
set(CPACK_PACKAGE_CONTACT "KZ maintenance tool developers <maintainers@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Backs up, restores and verifies KZ operator panels")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The packages carry the programs without their debugging symbols, which the build folders keep.
set(CPACK_STRIP_FILES ON)

if(WIN32)
    # Packaging builds only what it installs (make package builds kzmnt-cli first), not
    # every test and benchmark program.
    set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
    install(TARGETS kzmnt-cli RUNTIME DESTINATION .)
    # The LAN library in the program folder, where the binding looks first (the file only:
    # its import library is of no use to anyone).
    if(TARGET Kevrosa AND KZ_WINDOWS_ARCH STREQUAL "i686")
        install(FILES $<TARGET_FILE:Kevrosa> DESTINATION .)
    endif()
    if(TARGET kzmnt)
        install(TARGETS kzmnt RUNTIME DESTINATION .)
    endif()
    # A sample settings file: the demo's, with the serial device left to the COM port.
    file(READ ${PROJECT_SOURCE_DIR}/demo/KZMNT.INI sample)
    string(REPLACE "COM1=@SLAVE@" "; COM1=COM1" sample "${sample}")
    file(WRITE ${PROJECT_BINARY_DIR}/package/KZMNT.INI "${sample}")
    install(FILES ${PROJECT_BINARY_DIR}/package/KZMNT.INI ${PROJECT_SOURCE_DIR}/README.md
            DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    set(CPACK_PACKAGE_FILE_NAME kzmnt-${PROJECT_VERSION}-windows-${KZ_WINDOWS_ARCH})
else()
    install(TARGETS kzmnt-cli kzpanel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(TARGETS Kevrosa LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    if(TARGET kzmnt)
        install(TARGETS kzmnt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/kzmnt.desktop
                DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/kzmnt.svg
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    endif()
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/demo/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kzmnt/demo)
    # The manual page, from the program's own --help.
    set(man ${PROJECT_BINARY_DIR}/package/kzmnt-cli.1)
    add_custom_command(OUTPUT ${man}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/package
        COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/man-page.sh $<TARGET_FILE:kzmnt-cli>
                ${PROJECT_VERSION} > ${man}
        COMMAND gzip -9nf ${man}
        DEPENDS kzmnt-cli ${PROJECT_SOURCE_DIR}/packaging/man-page.sh)
    add_custom_target(kzmnt-cli-man ALL DEPENDS ${man}.gz)
    install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
include(CPack)
