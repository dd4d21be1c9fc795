# Writes the time the build stamps into the program's header, in seconds
# since 1970, to OUT, rewriting it only when it changes (so the program is
# relinked only then). The time is that of the commit built, never the
# clock, so two builds of one commit are the same bytes; without a git
# checkout it is SOURCE_DATE_EPOCH, else a fixed value (2026-01-01 00:00 UTC).
#   cmake -DSOURCE=<source dir> -DOUT=<file> -P source-date.cmake
set(epoch "")
find_program(GIT git)
if(GIT)
  # Only the source folder's own checkout counts, not one it sits inside.
  execute_process(COMMAND ${GIT} -C ${SOURCE} rev-parse --show-toplevel
    OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE}" source)
    if(top STREQUAL source)
      execute_process(COMMAND ${GIT} -C ${SOURCE} log -1 --format=%ct
        OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
  endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  if("$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  else()
    set(epoch 1767225600)
  endif()
endif()
set(old "")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL "${epoch}")
  file(WRITE ${OUT} "${epoch}")
endif()
