# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# The Debian package, packed by `cpack` in the build: the installed files, the
# binary stripped, plus the copyright and a changelog made from NEWS.md, with
# dependencies found by dpkg-shlibdeps. package.sh configures the build with
# Debian's hardening flags and the prefix /usr.
# dpkg-buildflags maps the checkout's path away only when it holds no
# character such as "@", "," or a space; mapped here, every path leaves the
# same bytes (the Build ID, which outlives stripping, among them).
target_compile_options(vendor-name PRIVATE "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "The vendor-name authors <vendor-name@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "record the vendor of an Android source tree")
set(CPACK_PACKAGE_DESCRIPTION "\
vendor-name is run from the root of an Android source tree. It walks every
directory below vendor/, passes over the vendors qcom, nxp, samsung, gapps,
google, gms and codeaurora, and writes the name of the last other vendor it
meets to device/samsung/quillmere-common/vendor_name, for the build to read.
refresh-vendor-name, for a tree's set-up, keeps that file holding the tree's
one vendor, and fails when there is none or more than one.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

set(changelog ${PROJECT_BINARY_DIR}/changelog)
add_custom_command(OUTPUT ${changelog}.gz
  COMMAND awk -v "contact=${CPACK_PACKAGE_CONTACT}" -f ${CMAKE_CURRENT_LIST_DIR}/changelog.awk
          ${PROJECT_SOURCE_DIR}/NEWS.md > ${changelog}
  COMMAND gzip -9nf ${changelog}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog.awk ${PROJECT_SOURCE_DIR}/NEWS.md VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog}.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
