# Run by CPack once the Debian packages are built (CPACK_POST_BUILD_SCRIPTS): CPack gives a package
# of shared libraries postinst and postrm scripts that only call ldconfig, where Debian wants the
# ldconfig trigger that the library package carries instead (packaging/triggers: dpkg runs ldconfig
# once, after everything is unpacked). The scripts are taken out of that package, which is built
# again from its own contents.
foreach(deb ${CPACK_PACKAGE_FILES})
  get_filename_component(name ${deb} NAME)
  if(NOT name MATCHES "^${CPACK_ZKDICT_TRIGGER_PACKAGE}_")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    if(NOT EXISTS ${tree}/DEBIAN/${script})
      continue()
    endif()
    # Only a script that does nothing but call ldconfig goes.
    file(STRINGS ${tree}/DEBIAN/${script} lines)
    list(FILTER lines EXCLUDE REGEX "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|[ \t]*ldconfig|fi|[ \t]*)$")
    if(lines)
      message(FATAL_ERROR "${name}: ${script} does more than call ldconfig: ${lines}")
    endif()
    file(REMOVE ${tree}/DEBIAN/${script})
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${tree} ${deb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
