# The RPM's %changelog, made from the Debian changelog's entries, which stay
# the one history: "tkvcert (V) ...; * lines; -- WHO  DATE" becomes
# "* Day Mon DD YYYY WHO - V-1" and "- " lines.
function(tkvcert_rpm_changelog debian_changelog output)
  file(STRINGS ${debian_changelog} lines)
  set(result "")
  set(items "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^tkvcert \\(([^)]+)\\)")
      set(version ${CMAKE_MATCH_1})
    elseif(line MATCHES "^  \\* (.*)$")
      string(APPEND items "- ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^    (.*)$")
      string(APPEND items "  ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^ -- (.+)  ([A-Z][a-z][a-z]), ([0-9]+) ([A-Z][a-z][a-z]) ([0-9]+) ")
      set(who ${CMAKE_MATCH_1})
      string(APPEND result
             "* ${CMAKE_MATCH_2} ${CMAKE_MATCH_4} ${CMAKE_MATCH_3} ${CMAKE_MATCH_5} ${who} - ${version}-1\n${items}\n")
      set(items "")
    endif()
  endforeach()
  file(WRITE ${output} "${result}")
endfunction()
