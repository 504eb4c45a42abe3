# Debian packages of a build: `cpack` in the build folder (scripts/package
# runs it) makes korvane-cli_VERSION_ARCH.deb and korvane_VERSION_ARCH.deb of
# what `cmake --install` installs, each component its package, with the
# dependencies dpkg-shlibdeps computes from the binaries. The programs are
# stripped; their debugging information stays in the build folder. (CPack's
# own -dbgsym packages list their files by the staging paths in md5sums, which
# dpkg cannot check, so they are not made.)

# Who the packages name as maintainer, as Debian's tools find it: DEBFULLNAME
# and DEBEMAIL, else the git identity of the sources.
set(maintainer "")
if(DEFINED ENV{DEBEMAIL})
    if("$ENV{DEBEMAIL}" MATCHES "<")
        set(maintainer "$ENV{DEBEMAIL}")
    elseif(DEFINED ENV{DEBFULLNAME})
        set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
    endif()
endif()
if(NOT maintainer AND GIT_EXECUTABLE)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} config user.name
                    OUTPUT_VARIABLE name OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} config user.email
                    OUTPUT_VARIABLE email OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(name AND email)
        set(maintainer "${name} <${email}>")
    endif()
endif()
# Without either, the address says that there is none (.invalid cannot be
# delivered to), which lintian accepts where it refuses user@host.
if(NOT maintainer)
    set(maintainer "Korvane developers <korvane@maintainer.invalid>")
endif()
set(KORVANE_PACKAGE_MAINTAINER "${maintainer}" CACHE STRING
    "The packages' maintainer, \"Name <address>\" (default: DEBFULLNAME and DEBEMAIL, else git's user)")

find_program(KORVANE_GZIP gzip REQUIRED)

set(KORVANE_PACKAGES korvane-cli)
if(KORVANE_UI)
    list(APPEND KORVANE_PACKAGES korvane)
endif()

# Every package carries the copyright file and the changelog in its doc folder.
set(doc_dir ${PROJECT_BINARY_DIR}/packaging)
add_custom_command(
    OUTPUT ${doc_dir}/copyright ${doc_dir}/changelog.gz
    COMMAND ${CMAKE_COMMAND}
            -DVERSION=${PROJECT_VERSION} "-DMAINTAINER=${KORVANE_PACKAGE_MAINTAINER}"
            -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DGIT=${GIT_EXECUTABLE} -DGZIP=${KORVANE_GZIP}
            -DOUT_DIR=${doc_dir}
            -P ${PROJECT_SOURCE_DIR}/cmake/DebianDocs.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog.in
            ${PROJECT_SOURCE_DIR}/packaging/copyright.in
            ${PROJECT_SOURCE_DIR}/cmake/DebianDocs.cmake
            ${KORVANE_VERSION_HEADER}
    VERBATIM)
add_custom_target(korvane_package_docs ALL DEPENDS ${doc_dir}/copyright ${doc_dir}/changelog.gz)
foreach(package IN LISTS KORVANE_PACKAGES)
    install(FILES ${doc_dir}/copyright ${doc_dir}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
            COMPONENT ${package})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VENDOR "The Korvane developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_HOMEPAGE_URL "${KORVANE_HOMEPAGE_URL}")
set(CPACK_COMPONENTS_ALL ${KORVANE_PACKAGES})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE korvane)
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# As dh_strip does, the programs lose the .comment section too, whose compiler
# banners nobody needs.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebStripComments.cmake)

set(CPACK_DEBIAN_KORVANE-CLI_PACKAGE_NAME korvane-cli)
set(CPACK_COMPONENT_KORVANE-CLI_DESCRIPTION
    "browse, extract and write flash filesystem images (command line)
korvane-cli does every job of the Korvane image browser without a display.
It reads YAFFS2 images of every common NAND layout (the layout is found from
the image), EXT2, EXT3 and ext4 images, and Android sparse images of them.
It lists their trees, prints files and extended attributes, extracts objects
into a folder or a tar archive, writes new YAFFS2, EXT2, EXT3 and ext4
images, plain or Android sparse, from an image, a folder or an archive, and
edits images with scripts of shell-like commands.")

set(CPACK_DEBIAN_KORVANE_PACKAGE_NAME korvane)
set(CPACK_DEBIAN_KORVANE_PACKAGE_SECTION otherosfs)
# Qt loads the SVG icons, its own Chinese texts and the icon theme at run
# time, and the texts of the window are Chinese: none of that is linked, so
# dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_KORVANE_PACKAGE_RECOMMENDS
    "libqt6svg6, qt6-translations-l10n, adwaita-icon-theme | breeze-icon-theme, fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_KORVANE_PACKAGE_SUGGESTS korvane-cli)
set(CPACK_COMPONENT_KORVANE_DESCRIPTION
    "browse, extract and edit flash filesystem images (desktop app)
Korvane opens the filesystem images of phones and embedded boards and shows
their folders and files as a file manager does: YAFFS2 images of every
common NAND layout, EXT2, EXT3 and ext4 images, and Android sparse images of
them. It extracts files and folders with their modes, times and extended
attributes, edits the tree and saves it as a new YAFFS2, EXT2, EXT3 or ext4
image, plain or Android sparse. Its texts are in Chinese and English.
.
The command-line tool is in the package korvane-cli.")

include(CPack)
