# What is installed, where, and the Debian package made of it (CPack).
#
# Installed under any prefix:
#   bin/                            the programs a host starts
#   libexec/quillmarsh-dictate/     what they load or run: the services module, the model checker
#   share/quillmarsh-dictate/       the model catalog, the enrolment sentences
#   share/man/man1/                 a manual page per program
#   share/doc/quillmarsh-dictate/   README, licence and notices, change log, the example host
#
# A new program goes into one of the lists below (a program in bin/ brings
# its manual page packaging/<name>.1); the Debian packages it needs at run
# time, other than those of the libraries it links (which dpkg-shlibdeps
# finds), go into DICTATE_DEB_DEPENDS. scripts/package.sh builds the target
# dictate_shipped, then the package.

# Installing does not build everything first (tests and benchmarks take
# long): scripts/package.sh builds the target dictate_shipped, which is all
# that is installed.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Programs in bin/.
set(DICTATE_PROGRAMS quillmarsh-dictate quillmarsh-dictate-enrol)
# Executables and modules in the private folder (DICTATE_PRIVATE_DIR).
set(DICTATE_PRIVATE_PROGRAMS quillmarsh-dictate-model-check)
set(DICTATE_PRIVATE_MODULES quillmarsh-dictate-platform)
# Run-time packages beyond the linked libraries': the speech model the
# program uses when the user has none of their own, and the tools the
# enrolment program adapts it with (sphinx_fe, pocketsphinx_mdef_convert,
# bw and map_adapt).
set(DICTATE_DEB_DEPENDS pocketsphinx-en-us sphinxbase-utils pocketsphinx sphinxtrain)
# The word list that names and days are cased from; without it only "I"
# and sentence starts are.
set(DICTATE_DEB_RECOMMENDS wamerican)
# An audio server, on a machine that does not run one already.
set(DICTATE_DEB_SUGGESTS "pipewire-pulse | pulseaudio")

set(DICTATE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/quillmarsh-dictate)

install(TARGETS ${DICTATE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${DICTATE_PRIVATE_PROGRAMS} RUNTIME DESTINATION ${DICTATE_PRIVATE_DIR})
install(TARGETS ${DICTATE_PRIVATE_MODULES} LIBRARY DESTINATION ${DICTATE_PRIVATE_DIR})
install(FILES data/model-catalog.txt data/enrolment_sentences.txt
  DESTINATION ${CMAKE_INSTALL_DATADIR}/quillmarsh-dictate)

# Manual pages and the change log are installed compressed, as Debian
# wants them; -n keeps the name and time out, so that a rebuild makes the
# same bytes.
set(DICTATE_COMPRESSED)
foreach(program IN LISTS DICTATE_PROGRAMS)
  list(APPEND DICTATE_COMPRESSED "packaging/${program}.1|${CMAKE_INSTALL_MANDIR}/man1")
endforeach()
list(APPEND DICTATE_COMPRESSED "packaging/changelog|${DICTATE_DOC_DIR}")
foreach(entry IN LISTS DICTATE_COMPRESSED)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 source)
  list(GET entry 1 destination)
  get_filename_component(name ${source} NAME)
  set(compressed ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/${source} > ${compressed}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  install(FILES ${compressed} DESTINATION ${destination})
  list(APPEND DICTATE_COMPRESSED_FILES ${compressed})
endforeach()
add_custom_target(dictate_compressed_docs ALL DEPENDS ${DICTATE_COMPRESSED_FILES})

install(FILES README.md packaging/copyright DESTINATION ${DICTATE_DOC_DIR})
install(FILES examples/host.py DESTINATION ${DICTATE_DOC_DIR}/examples)

# Everything the install rules above take from the build.
add_custom_target(dictate_shipped)
add_dependencies(dictate_shipped ${DICTATE_PROGRAMS} ${DICTATE_PRIVATE_PROGRAMS}
  ${DICTATE_PRIVATE_MODULES} dictate_compressed_docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmarsh-dictate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "quillmarsh-dictate developers <dictate@quillmarsh.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "on-device dictation for applications, as a child process")
set(CPACK_PACKAGE_DESCRIPTION "\
A small program that an application starts as a child process to turn
microphone speech into text on the machine. The application writes
JSON-line commands (start, stop, quit) to its standard input and reads
JSON-line events (provisional and final text, state, errors) from its
standard output. Audio comes from the PulseAudio or PipeWire server and is
recognised with PocketSphinx and Debian's US English model; nothing leaves
the machine.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
list(JOIN DICTATE_DEB_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
list(JOIN DICTATE_DEB_RECOMMENDS ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS)
list(JOIN DICTATE_DEB_SUGGESTS ", " CPACK_DEBIAN_PACKAGE_SUGGESTS)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
