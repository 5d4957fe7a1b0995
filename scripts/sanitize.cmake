# Included by scripts/sanitize.sh right after project(): AddressSanitizer and
# UndefinedBehaviorSanitizer for every target of the build. A program linked
# -static (a test stub meant to run inside other roots) cannot carry the
# sanitizer runtimes, so it is left plain.
add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)

function(tkv_leave_static_programs_plain dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(options ${target} LINK_OPTIONS)
    if(options AND "-static" IN_LIST options)
      target_compile_options(${target} PRIVATE -fno-sanitize=all)
      target_link_options(${target} PRIVATE -fno-sanitize=all)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    tkv_leave_static_programs_plain(${subdir})
  endforeach()
endfunction()
# Once every directory has made its targets.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tkv_leave_static_programs_plain ${CMAKE_SOURCE_DIR})

# The sanitizers check memory here: the hardened build is the one that ships.
set(TKVCERT_HARDENING OFF CACHE BOOL "" FORCE)
