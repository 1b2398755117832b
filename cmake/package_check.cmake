# Makes the Debian packages from the build tree, as the `package` target does, into a folder
# of the build's own, and fails when one lacks what it must carry. Run by ctest as
# `package_contents`:
#   cmake -DBUILD_DIR=... -DCPACK=... -DVERSION=... -P cmake/package_check.cmake
set(out ${BUILD_DIR}/package-check)
file(REMOVE_RECURSE ${out})
execute_process(COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${out}
                RESULT_VARIABLE result OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "package_check: cpack failed:\n${log}")
endif()
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE)

set(program_deb ${out}/firmware-utility_${VERSION}_${arch}.deb)
set(program_files ./usr/bin/firmware-utility ./usr/share/man/man1/firmware-utility.1.gz
    ./usr/share/doc/firmware-utility/guide.md
    ./usr/share/doc/firmware-utility/examples/70-firmware-utility.rules
    ./usr/share/doc/firmware-utility/examples/gpio-reset.sh ./usr/share/doc/firmware-utility/copyright
    ./etc/firmware-utility/trusted-keys/)
set(labgrid_deb ${out}/python3-firmware-utility-labgrid_${VERSION}_all.deb)
set(labgrid_files ./usr/lib/python3/dist-packages/firmware_utility_labgrid/__init__.py
    ./usr/lib/python3/dist-packages/firmware_utility_labgrid/driver.py)
# Library dependencies come from dpkg-shlibdeps; the driver's from the package's own list.
set(program_depends "libc6 \\(>= [^)]+\\)" "libncursesw6" "libssl3" "libudev1" "libgensio")
set(labgrid_depends "python3:any" "python3-labgrid" "firmware-utility \\(= ${VERSION}\\)")

set(failures "")
foreach(package program labgrid)
  set(deb ${${package}_deb})
  if(NOT EXISTS ${deb})
    file(GLOB made ${out}/*.deb)
    string(APPEND failures "\n  ${deb} was not made (made: ${made})")
    continue()
  endif()
  execute_process(COMMAND dpkg-deb -c ${deb} OUTPUT_VARIABLE listing)
  foreach(path IN LISTS ${package}_files)
    string(REPLACE "." "\\." pattern "${path}")
    if(NOT listing MATCHES " ${pattern}\n")
      string(APPEND failures "\n  ${deb} lacks ${path}")
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb -f ${deb} Depends OUTPUT_VARIABLE depends)
  foreach(pattern IN LISTS ${package}_depends)
    if(NOT depends MATCHES "(^|, )${pattern}")
      string(APPEND failures "\n  ${deb}: Depends has no ${pattern}: ${depends}")
    endif()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "package_check:${failures}")
endif()
file(REMOVE_RECURSE ${out})
