# Run by cpack before it builds the Debian package. Without `file`, CPack
# stops with an obscure message; without dpkg-shlibdeps (dpkg-dev) it would
# quietly build a package that declares no dependencies.
foreach(tool file dpkg-shlibdeps)
  find_program(zodevir_${tool} ${tool})
  if(NOT zodevir_${tool})
    message(FATAL_ERROR
      "The Debian package needs '${tool}', which is not installed: "
      "apt-get install file dpkg-dev")
  endif()
endforeach()
