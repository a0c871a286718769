# Runs at install time (install_with_paths in the top CMakeLists.txt): fills
# the paths of `template` from the prefix being installed to and installs the
# result into `destination` under that prefix.  Set by the caller: template,
# staged (where the filled file is written; its name is the installed one),
# destination, and libexecdir and docdir as the build configured them
# (relative to the prefix, or absolute).
foreach(directory libexecdir docdir)
  if(NOT IS_ABSOLUTE "${${directory}}")
    set(${directory} "${CMAKE_INSTALL_PREFIX}/${${directory}}")
  endif()
endforeach()
set(CONTACT_ENGINE_SERVICE_PATH "${libexecdir}/contact-engine-service")
set(CONTACT_ENGINE_DOCDIR "${docdir}")
# One staged copy per destination: installs into several prefixes may run at once.
get_filename_component(name "${staged}" NAME)
string(SHA1 install_key "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(staged "${staged}.${install_key}")
configure_file("${template}" "${staged}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${destination}" TYPE FILE RENAME "${name}" FILES "${staged}")
file(REMOVE "${staged}")
