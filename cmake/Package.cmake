# Installing Ostrela like any Linux program: the desktop's metadata (AppStream, the icon as PNG),
# the manual pages, the camera's systemd user service and module files, and the Debian package
# CPack makes from all of it:  cpack --config build/CPackConfig.cmake -G DEB
include(GNUInstallDirs)
find_package(Qt6 REQUIRED COMPONENTS Svg)

set(OSTRELA_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
# Software centres fetch the screenshots from here; the window tests make them (see
# build/packaging/screenshots after the tests) and they are published there with each release.
set(OSTRELA_SCREENSHOT_URL "https://morwick.com/ostrela/screenshots" CACHE STRING
  "Web address the AppStream screenshots are published under")
set(OSTRELA_RELEASE_DATE "2026-12-08")

configure_file(packaging/com.morwick.Ostrela.metainfo.xml.in
  ${OSTRELA_PACKAGING_DIR}/com.morwick.Ostrela.metainfo.xml @ONLY)

# The 256-pixel icon, drawn from the SVG when building rather than kept as a second source.
add_executable(ostrela_svg_to_png packaging/svg_to_png.cpp)
target_link_libraries(ostrela_svg_to_png PRIVATE Qt6::Gui Qt6::Svg)
set(OSTRELA_ICON_PNG ${OSTRELA_PACKAGING_DIR}/icons/256x256/ostrela.png)
add_custom_command(OUTPUT ${OSTRELA_ICON_PNG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${OSTRELA_PACKAGING_DIR}/icons/256x256
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
    $<TARGET_FILE:ostrela_svg_to_png> ${CMAKE_SOURCE_DIR}/app/ostrela.svg 256 ${OSTRELA_ICON_PNG}
  DEPENDS ostrela_svg_to_png ${CMAKE_SOURCE_DIR}/app/ostrela.svg
  VERBATIM)

# Manual pages, with the version filled in, compressed as Debian ships them.
set(OSTRELA_MAN_PAGES ostrela ostrela-camera ostrela-render ostrela-testframes)
set(OSTRELA_MAN_FILES)
foreach(page ${OSTRELA_MAN_PAGES})
  configure_file(man/${page}.1 ${OSTRELA_PACKAGING_DIR}/man/${page}.1 @ONLY)
  add_custom_command(OUTPUT ${OSTRELA_PACKAGING_DIR}/man/${page}.1.gz
    COMMAND gzip -9 -n -f -k ${OSTRELA_PACKAGING_DIR}/man/${page}.1
    DEPENDS ${OSTRELA_PACKAGING_DIR}/man/${page}.1 ${CMAKE_SOURCE_DIR}/man/${page}.1
    VERBATIM)
  list(APPEND OSTRELA_MAN_FILES ${OSTRELA_PACKAGING_DIR}/man/${page}.1.gz)
endforeach()
add_custom_target(ostrela_package_files ALL DEPENDS ${OSTRELA_ICON_PNG} ${OSTRELA_MAN_FILES})
if(TARGET ostrela_tests_app)
  # The packaging tests run the programs and the window tests that take the screenshots.
  add_dependencies(ostrela_tests_app ostrela_package_files ostrela)
  if(TARGET ostrela_tests_ui)
    add_dependencies(ostrela_tests_app ostrela_tests_ui)
  endif()
endif()

install(FILES ${OSTRELA_PACKAGING_DIR}/com.morwick.Ostrela.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${OSTRELA_ICON_PNG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
install(FILES ${OSTRELA_MAN_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The camera service as activation writes it, naming the camera program where it is installed
# (the prefix is known only when installing: /usr for the package).
install(CODE "
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(OSTRELA_CAMERA_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/ostrela-camera\")
  configure_file(\"${CMAKE_SOURCE_DIR}/packaging/ostrela-camera.service.in\"
    \"${OSTRELA_PACKAGING_DIR}/installed/ostrela-camera.service\" @ONLY)
")
install(FILES ${OSTRELA_PACKAGING_DIR}/installed/ostrela-camera.service DESTINATION lib/systemd/user)
# The camera at every boot without the in-app authorisation: load v4l2loopback with our label.
install(FILES packaging/modules-load.conf DESTINATION lib/modules-load.d RENAME ostrela.conf)
install(FILES packaging/modprobe.conf DESTINATION lib/modprobe.d RENAME ostrela.conf)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrela)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Morwick)
set(CPACK_PACKAGE_CONTACT "Ostrela developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Dress up your webcam for video calls")
set(CPACK_PACKAGE_DESCRIPTION "Ostrela turns a webcam into a virtual camera with live effects, a floating \
image, a lower-third text bar with live data and video play-out. Its camera program publishes the \
picture as a camera named Ostrela, through a v4l2loopback device or PipeWire.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded as plug-ins, so invisible to dpkg-shlibdeps: Qt's platforms, the SVG icon engine, a font.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "v4l2loopback-dkms, v4l2loopback-utils, pipewire, pkexec")
include(CPack)
