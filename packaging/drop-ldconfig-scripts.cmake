# Run by cpack once the packages are made. CPack gives a library's package a postinst and a
# postrm that call ldconfig; Debian runs ldconfig from the package's trigger instead, so the
# library's package is rebuilt without them.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(deb MATCHES "/libnimbra-host[0-9]+_[^/]*\\.deb$")
    set(tree ${deb}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${deb}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
  endif()
endforeach()
