# The Debian package: `cmake --build build --target package` makes
# xelo_<version>_amd64.deb. The program directory goes to /opt/xelo (the
# program finds its data beside itself, through /proc/self/exe, so the links
# in /usr/bin work), with the manual page and the bash completion made from
# the program's own --help text at build time.

set(XELO_PACKAGE_SUMMARY "build bootable update media for QOR x86 servers")
set(XELO_PACKAGE_FILES ${CMAKE_BINARY_DIR}/package)
file(MAKE_DIRECTORY ${XELO_PACKAGE_FILES})

find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(
  OUTPUT ${XELO_PACKAGE_FILES}/xelo.1.gz ${XELO_PACKAGE_FILES}/xelo.bash
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/package/help_pages.py
          --program $<TARGET_FILE:xelo> --version ${PROJECT_VERSION} --summary ${XELO_PACKAGE_SUMMARY}
          --man ${XELO_PACKAGE_FILES}/xelo.1.gz --completion ${XELO_PACKAGE_FILES}/xelo.bash
  DEPENDS xelo acquire ${CMAKE_SOURCE_DIR}/tools/package/help_pages.py
  COMMENT "Making the manual page and the bash completion from xelo --help")
# The changelog a Debian package carries, compressed without a time stamp.
add_custom_command(
  OUTPUT ${XELO_PACKAGE_FILES}/changelog.gz
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/tools/package/changelog > ${XELO_PACKAGE_FILES}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/package/changelog)
add_custom_target(package_files ALL
  DEPENDS ${XELO_PACKAGE_FILES}/xelo.1.gz ${XELO_PACKAGE_FILES}/xelo.bash ${XELO_PACKAGE_FILES}/changelog.gz)

# Links from the standard places into /opt/xelo, made here and copied as
# links by the install step.
function(xelo_package_link path target)
  get_filename_component(dir ${XELO_PACKAGE_FILES}/links/${path} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${target} ${XELO_PACKAGE_FILES}/links/${path} SYMBOLIC)
endfunction()
xelo_package_link(usr/bin/xelo /opt/xelo/xelo)
xelo_package_link(usr/bin/xelowin /opt/xelo/xelowin)
xelo_package_link(usr/share/bash-completion/completions/xelowin xelo)
xelo_package_link(usr/share/man/man1/xelowin.1.gz xelo.1.gz)

# The program directory. Its keyring ships empty: the demo key in data/keyring
# signs the sample repository, and its private half is public.
install(TARGETS xelo xelowin acquire RUNTIME DESTINATION opt/xelo LIBRARY DESTINATION opt/xelo)
# The graphical front end and its page, started by xelowin from gui/.
install(TARGETS launchpad RUNTIME DESTINATION opt/xelo/gui)
install(DIRECTORY gui/www/ DESTINATION opt/xelo/gui/www)
install(FILES data/SYSTEM_SUPPORT_LIST_9.64.xml data/qyxBase.properties data/wsTrace.properties
              data/qyxConnect.properties DESTINATION opt/xelo)
install(FILES data/licenses/en DESTINATION opt/xelo/licenses)
install(DIRECTORY DESTINATION opt/xelo/keyring)
install(DIRECTORY DESTINATION opt/xelo/linuxboot)
install(DIRECTORY DESTINATION opt/xelo/linuxbootkyt)
install(DIRECTORY ${XELO_PACKAGE_FILES}/links/usr DESTINATION .)
install(FILES ${XELO_PACKAGE_FILES}/xelo.1.gz DESTINATION usr/share/man/man1)
install(FILES ${XELO_PACKAGE_FILES}/xelo.bash DESTINATION usr/share/bash-completion/completions RENAME xelo)
install(FILES tools/package/copyright ${XELO_PACKAGE_FILES}/changelog.gz docs/usage.md
        DESTINATION usr/share/doc/xelo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME xelo)
set(CPACK_PACKAGE_VENDOR "QOR Corp.")
set(CPACK_PACKAGE_CONTACT "QOR Corp. <xelo@qor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${XELO_PACKAGE_SUMMARY})
set(CPACK_PACKAGE_DESCRIPTION
    "xelo acquires firmware and driver updates, tools and a boot environment from\n QOR's update repository and writes them to a bootable ISO image, CD/DVD,\n USB key or PXE boot directory.")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.qor.example/")
# Libraries found by dpkg-shlibdeps, plus the programs the media writers run:
# mkfs.fat and mtools for the FAT images of ISO images and USB keys.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${XELO_PROGRAM_DIR})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dosfstools, mtools")
# A PXE directory gets a network boot loader made with grub-mkimage when the
# environment brings none.
# xdg-open opens the graphical front end's page in the desktop's browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "grub-common, grub-efi-amd64-bin, xdg-utils")
include(CPack)
