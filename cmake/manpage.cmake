# Script mode (cmake -P): turns the scdoc source of a manual page into roff,
# and a copy gzipped as Debian wants it (-9, no name or time stamp inside).
#   -DSCDOC=... -DGZIP=... -DSOURCE=page.scd -DOUTPUT=page.roff -DVERSION=1.0.0
# Writes OUTPUT and OUTPUT.gz.
cmake_minimum_required(VERSION 3.18)

file(READ "${SOURCE}" text)
string(REPLACE "@PROJECT_VERSION@" "${VERSION}" text "${text}")
file(WRITE "${OUTPUT}.scd" "${text}")
execute_process(COMMAND "${SCDOC}" INPUT_FILE "${OUTPUT}.scd" OUTPUT_VARIABLE roff
                RESULT_VARIABLE status)
file(REMOVE "${OUTPUT}.scd")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "scdoc failed on ${SOURCE}")
endif()

# scdoc ends every block with a paragraph macro, also right before a heading,
# another paragraph or the end of an indented block, where it means nothing
# and mandoc's lint warns about it. Keep only those that separate text from
# text; the one that closed an indented block goes after its end, so the
# next entry still starts on a line of its own.
while(TRUE)
  set(before "${roff}")
  string(REGEX REPLACE "\n\\.P\n\\.RE\n" "\n.RE\n.P\n" roff "${roff}")
  string(REGEX REPLACE "\n\\.P\n(\\.(SH|SS|P)[ \n])" "\n\\1" roff "${roff}")
  string(REGEX REPLACE "(\n\\.(TH|SH|SS)[^\n]*\n)\\.P\n" "\\1" roff "${roff}")
  string(REGEX REPLACE "\n\\.P\n*$" "\n" roff "${roff}")
  if(roff STREQUAL before)
    break()
  endif()
endwhile()

# scdoc turns hyphenation off before the title macro, which turns it back on
# in groff; words split at line ends make paths and commands hard to copy.
string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n" roff "${roff}")

file(WRITE "${OUTPUT}" "${roff}")
execute_process(COMMAND "${GZIP}" -9 -n -c "${OUTPUT}" OUTPUT_FILE "${OUTPUT}.gz"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
