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
  # systemd learns when it is ready and watches its loop; it is handed the
  # four sockets, each by the name the server looks for.
  file(STRINGS "${unit}" service REGEX "^(Type|WatchdogSec|Sockets)=")
  if(NOT service MATCHES "(^|;)Type=notify(;|$)" OR NOT service MATCHES "WatchdogSec=[1-9]")
    message(FATAL_ERROR "${unit}: not Type=notify with a WatchdogSec=: ${service}")
  endif()
  foreach(name list create post pages)
    set(socket "${destdir}${prefix}/lib/systemd/system/tavernly-server-${name}.socket")
    if(NOT EXISTS "${socket}")
      message(FATAL_ERROR "${socket} was not installed")
    endif()
    file(STRINGS "${socket}" named REGEX "^(FileDescriptorName|Service)=")
    if(NOT named STREQUAL "FileDescriptorName=${name};Service=tavernly-server.service"
       OR NOT service MATCHES "Sockets=.*tavernly-server-${name}.socket")
      message(FATAL_ERROR "${socket}: ${named} is not the service's socket named ${name}")
    endif()
  endforeach()
endfunction()

install_and_check("${WORK}/prefix" "")
install_and_check("/usr" "${WORK}/staged")
file(REMOVE_RECURSE "${WORK}")
