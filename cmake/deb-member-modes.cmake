# Run by cpack after it made the .deb: sets the mode of each member of the package's ar archive
# to 100644, as dpkg-deb writes it. cpack takes the modes from its temporary files, and so from
# the builder's umask; with this the package's bytes do not depend on it.
foreach(zel_package IN LISTS CPACK_PACKAGE_FILES)
  if(zel_package MATCHES "\\.deb$")
    execute_process(
      COMMAND python3 -c "
import sys
with open(sys.argv[1], 'r+b') as deb:
    data = bytearray(deb.read())
    position = 8  # after the 8-byte magic; each member has a 60-byte header
    while position < len(data):
        data[position + 40:position + 48] = b'100644  '
        size = int(data[position + 48:position + 58])
        position += 60 + size + size % 2
    deb.seek(0)
    deb.write(data)
" "${zel_package}"
      RESULT_VARIABLE zel_result)
    if(NOT zel_result EQUAL 0)
      message(FATAL_ERROR "could not set the member modes of ${zel_package}")
    endif()
  endif()
endforeach()
