# System libraries the engine needs only for some commands are delay-loaded: `hello` must not
# pay for starting WinHTTP, WinTrust, the shell and their dependencies. Each .def lists
# exactly the functions the engine calls, and the ordinary import library is not linked, so
# a new call to one of these libraries fails to link until it is listed here as well.
function(yoxa_delay_load_libraries out_var)
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "dlltool was not found: it builds the delay-import libraries")
  endif()
  set(libraries "")
  foreach(name IN LISTS ARGN)
    set(def "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/delay_load/${name}.def")
    set(lib "${CMAKE_BINARY_DIR}/delay_load/lib${name}_delay.a")
    file(STRINGS "${def}" first_line LIMIT_COUNT 1)
    string(REGEX REPLACE "^LIBRARY[ \t]+" "" dll "${first_line}")
    add_custom_command(
      OUTPUT "${lib}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/delay_load"
      COMMAND "${CMAKE_DLLTOOL}" --input-def "${def}" --dllname "${dll}" --output-delaylib "${lib}"
      DEPENDS "${def}"
      VERBATIM)
    list(APPEND libraries "${lib}")
  endforeach()
  add_custom_target(yoxa_delay_load_libraries DEPENDS ${libraries})
  set(${out_var} ${libraries} PARENT_SCOPE)
endfunction()
