# Documentation generated at build time, its install rules, and the CPack settings (see cpack.cmake).

string(TIMESTAMP HALVEX_DOC_DATE "%Y-%m-%d" UTC)  # SOURCE_DATE_EPOCH makes it reproducible
set(HALVEX_DOC_DIR ${CMAKE_BINARY_DIR}/packaging)
set(HALVEX_KEY_NOTES ${HALVEX_PACKAGING_DIR}/man/key_notes.txt)

# fill(OUT TEMPLATE): runs halvex-keydoc on one template.
function(halvex_fill_template out template)
  add_custom_command(
    OUTPUT ${out}
    COMMAND halvex-keydoc ${HALVEX_KEY_NOTES} ${template} ${out}
            VERSION=${PROJECT_VERSION} DATE=${HALVEX_DOC_DATE}
    DEPENDS halvex-keydoc ${HALVEX_KEY_NOTES} ${template}
    COMMENT "Filling ${template} from the settable keys"
    VERBATIM)
endfunction()

# --- man pages ------------------------------------------------------------------------------
set(HALVEX_MAN_PAGES halvex halvexd halvex-tray halvex-vis)
set(halvex_doc_outputs)
foreach(page ${HALVEX_MAN_PAGES})
  set(roff ${HALVEX_DOC_DIR}/man/${page}.1)
  halvex_fill_template(${roff} ${HALVEX_PACKAGING_DIR}/man/${page}.1.in)
  # Debian's man pages are compressed, without a time stamp so the package builds reproducibly.
  add_custom_command(
    OUTPUT ${roff}.gz
    COMMAND gzip -9nkf ${roff}
    DEPENDS ${roff}
    VERBATIM)
  list(APPEND halvex_doc_outputs ${roff} ${roff}.gz)
  install(FILES ${roff}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT doc)
endforeach()

# --- bash completion ------------------------------------------------------------------------
set(HALVEX_COMPLETION ${HALVEX_DOC_DIR}/completion/halvex)
halvex_fill_template(${HALVEX_COMPLETION} ${HALVEX_PACKAGING_DIR}/completion/halvex.bash.in)
list(APPEND halvex_doc_outputs ${HALVEX_COMPLETION})
install(FILES ${HALVEX_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        COMPONENT doc)

# --- copyright and changelog ----------------------------------------------------------------
configure_file(${HALVEX_PACKAGING_DIR}/debian/changelog.in ${HALVEX_DOC_DIR}/changelog @ONLY)
add_custom_command(
  OUTPUT ${HALVEX_DOC_DIR}/changelog.gz
  COMMAND gzip -9nkf ${HALVEX_DOC_DIR}/changelog
  DEPENDS ${HALVEX_DOC_DIR}/changelog
  VERBATIM)
list(APPEND halvex_doc_outputs ${HALVEX_DOC_DIR}/changelog.gz)
install(FILES ${HALVEX_PACKAGING_DIR}/debian/copyright ${HALVEX_DOC_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)

add_custom_target(halvex_docs ALL DEPENDS ${halvex_doc_outputs})

# --- AppStream metadata ---------------------------------------------------------------------
# No <url>: AppStream takes web addresses only, and the project page is the installed README.
configure_file(${HALVEX_PACKAGING_DIR}/desktop/org.halvex.Halvex.metainfo.xml.in
               ${HALVEX_DOC_DIR}/org.halvex.Halvex.metainfo.xml @ONLY)
install(FILES ${HALVEX_DOC_DIR}/org.halvex.Halvex.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT desktop)

# --- the Debian package ---------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Halvex developers")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${HALVEX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "pipewire, wireplumber, mesa-vulkan-drivers | vulkan-icd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_HALVEX_CONFFILES ${HALVEX_DOC_DIR}/conffiles)
set(CPACK_PRE_BUILD_SCRIPTS ${HALVEX_PACKAGING_DIR}/debian/conffiles.cmake)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CPACK_HALVEX_CONFFILES})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "spatial audio enhancer for PipeWire desktops")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
Halvex adds a virtual output device to the PipeWire graph and runs everything
played into it through a stereo spatial engine (echo widener, spectral
re-stager, deep-field renderer, two matrix-surround decoders), then an output
stage and a wet/dry mix, before sending it on to a real device.
.
The package holds the daemon halvexd (a systemd user service), the command-line
tool halvex (live control and offline WAV rendering), the tray control panel
halvex-tray and the Vulkan music visualizer halvex-vis with its presets.]=])
include(CPack)
