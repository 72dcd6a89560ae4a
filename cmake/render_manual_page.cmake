# One step of a manual page (see manpages.cmake), run as
#   cmake -DMODE=roff|gzip|text -DTOOL=<scdoc|gzip|groff> -DIN=<file> -DOUT=<file> -P render_manual_page.cmake
# roff: scdoc source to roff. gzip: roff compressed as Debian wants it (-9, no name or time stamp).
# text: roff rendered as plain ASCII text, 78 columns, with CR LF line ends for Windows.
if(MODE STREQUAL "roff")
  set(command ${TOOL})
elseif(MODE STREQUAL "gzip")
  set(command ${TOOL} -9 -n -c)
elseif(MODE STREQUAL "text")
  # -P-cbou: no bold, underline or overstrike sequences, just the characters; -rHY=0: no hyphens.
  set(command ${TOOL} -man -Tascii -P-cbou -rLL=78n -rHY=0 -ww)
else()
  message(FATAL_ERROR "render_manual_page.cmake: unknown MODE '${MODE}'")
endif()
execute_process(COMMAND ${command} INPUT_FILE ${IN} OUTPUT_FILE ${OUT}.part
                ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
  file(REMOVE ${OUT}.part)
  message(FATAL_ERROR "${MODE} of ${IN} failed (${result}):\n${errors}")
endif()
if(MODE STREQUAL "text")
  file(READ ${OUT}.part text)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${OUT}.part "${text}")
endif()
file(RENAME ${OUT}.part ${OUT})
