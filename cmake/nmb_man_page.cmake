# cmake -DPROGRAM=<file> -DOUTPUT=<page.1.gz> -DINCLUDES=<h2m;...> -P nmb_man_page.cmake
# Writes a program's manual page from its own --help and --version through
# help2man; the NAME line comes from the description that follows "Usage:".
foreach(variable PROGRAM OUTPUT HELP2MAN GZIP)
  if(NOT ${variable})
    message(FATAL_ERROR "nmb_man_page.cmake: ${variable} is not set")
  endif()
endforeach()

execute_process(COMMAND "${PROGRAM}" --help
  OUTPUT_VARIABLE help RESULT_VARIABLE status TIMEOUT 30)
if(NOT status EQUAL 0 OR NOT help MATCHES "Usage:[^\n]*\n([^\n]+(\n[^\n]+)*)")
  message(FATAL_ERROR "${PROGRAM} --help printed no usage and description line (status ${status})")
endif()
# The first sentence of the description, or what comes before its first
# colon, fits the one line of NAME.
string(REPLACE "\n" " " description "${CMAKE_MATCH_1}")
string(REGEX REPLACE "(: |\\. ).*$" "" description "${description}")
string(REGEX REPLACE "\\.$" "" description "${description}")

set(arguments --no-info --section=1 "--name=${description}")
foreach(include IN LISTS INCLUDES)
  list(APPEND arguments "--include=${include}")
endforeach()
string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
execute_process(COMMAND "${HELP2MAN}" ${arguments} "--output=${page}" "${PROGRAM}"
  RESULT_VARIABLE status TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${PROGRAM} (status ${status})")
endif()
# -n: no name or time stamp in the header, so the page is reproducible.
execute_process(COMMAND "${GZIP}" -9nf "${page}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${page}")
endif()
