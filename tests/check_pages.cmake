# groff prints nothing for a page without mistakes.
foreach(page IN LISTS PAGES)
  execute_process(COMMAND groff -man -ww -z ${page} RESULT_VARIABLE status ERROR_VARIABLE complaints)
  if(NOT status EQUAL 0 OR NOT complaints STREQUAL "")
    message(FATAL_ERROR "groff on ${page}: ${complaints}")
  endif()
endforeach()
