# The installed unit starts the installed server: once under a prefix given
# when installing, once staged for a package (DESTDIR, prefix /usr).
#   cmake -DBUILD=<build dir> -DWORK=<scratch dir> -P installedunit.cmake
file(REMOVE_RECURSE "${WORK}")

function(install_and_check prefix destdir)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${destdir}"
            ${CMAKE_COMMAND} --install "${BUILD}" --component tavernly-server --prefix "${prefix}"
    OUTPUT_QUIET RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cmake --install --prefix ${prefix} failed")
  endif()
  set(unit "${destdir}${prefix}/lib/systemd/system/tavernly-server.service")
  file(STRINGS "${unit}" exec REGEX "^ExecStart=")
  if(NOT exec MATCHES "^ExecStart=${prefix}/bin/tavernly-server ")
    message(FATAL_ERROR "${unit}: ${exec} is not ${prefix}/bin/tavernly-server")
  endif()
  if(NOT EXISTS "${destdir}${prefix}/bin/tavernly-server")
    message(FATAL_ERROR "${destdir}${prefix}/bin/tavernly-server was not installed")
  endif()
endfunction()

install_and_check("${WORK}/prefix" "")
install_and_check("/usr" "${WORK}/staged")
file(REMOVE_RECURSE "${WORK}")
