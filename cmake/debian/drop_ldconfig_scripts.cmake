# Run by CPack after it has built the packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives any package with a library under /usr/lib a postinst and a
# postrm that call ldconfig, with no way to turn them off; a Debian package
# runs ldconfig through libc's trigger instead, which the library's package
# activates (triggers, beside this file).  Our packages have no maintainer
# scripts of their own, so whichever of the two a package holds is CPack's,
# and goes.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB scripts ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  if(scripts)
    file(REMOVE ${scripts})
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
