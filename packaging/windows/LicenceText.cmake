# Joins text files into the licence page of the Windows installer:
#   cmake -DOUTPUT=<file> "-DINPUTS=<file>|<file>..." -P LicenceText.cmake
# The result is UTF-8 with a byte-order mark (so NSIS reads it as UTF-8, not
# in the installing machine's code page) and Windows line ends, with a rule
# between the texts.
string(REPLACE "|" ";" INPUTS "${INPUTS}")
foreach(input ${INPUTS})
  if(NOT EXISTS ${input})
    message(FATAL_ERROR "${input} is missing")
  endif()
endforeach()
string(ASCII 239 187 191 text) # U+FEFF in UTF-8
set(first TRUE)
foreach(input ${INPUTS})
  file(READ ${input} part)
  string(REPLACE "\r\n" "\n" part "${part}")
  string(STRIP "${part}" part)
  if(NOT first)
    string(APPEND text "\n\n----------------------------------------------------------------------\n\n")
  endif()
  string(APPEND text "${part}\n")
  set(first FALSE)
endforeach()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
