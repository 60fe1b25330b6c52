# Writes a manual page from a program's own --help, so that the page says
# what the program says. For a program with commands (a "Commands:" list in
# its help), each command's "PROGRAM COMMAND --help" follows as a section.
#
#   cmake -DPROGRAM=path -DNAME=name -DSUMMARY=text -DOUT=file -P manpage.cmake
foreach(v PROGRAM NAME SUMMARY OUT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "manpage.cmake: ${v} is not set")
  endif()
endforeach()

function(help_of out)
  execute_process(COMMAND ${PROGRAM} ${ARGN} --help OUTPUT_VARIABLE text ERROR_VARIABLE text
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "manpage.cmake: '${NAME} ${ARGN} --help' failed (${rc})")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# roff: a backslash is written as \e; a line that starts with a dot or an
# apostrophe would be a request, so it starts with \& instead.
function(roff out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

help_of(main)
roff(body "${main}")
string(TOUPPER "${NAME}" upper)
set(page ".TH ${upper} 1 \"\" \"${NAME}\" \"User Commands\"\n.SH NAME\n${NAME} \\- ${SUMMARY}\n")
string(APPEND page ".SH DESCRIPTION\n.nf\n${body}.fi\n")

string(FIND "${main}" "Commands:" at)
if(at GREATER -1)
  string(SUBSTRING "${main}" ${at} -1 commands)
  string(REGEX MATCHALL "\n  [a-z]+ " names "${commands}")
  foreach(n ${names})
    string(STRIP "${n}" n)
    help_of(sub ${n})
    roff(sub "${sub}")
    string(TOUPPER "${n}" title)
    string(APPEND page ".SH ${upper} ${title}\n.nf\n${sub}.fi\n")
  endforeach()
endif()
file(WRITE ${OUT} "${page}")
