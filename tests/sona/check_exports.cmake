# Fails unless LIBRARY's dynamic symbol table defines exactly the public
# calls, or the symbols listed in EXPECTED.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE table RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" symbol "${line}")
  list(APPEND found ${symbol})
endforeach()
list(SORT found)
if(DEFINED EXPECTED)
  set(expected ${EXPECTED})
  list(SORT expected)
else()
  set(expected SONA_ChannelGetLength SONA_ChannelGetPosition SONA_ChannelGetState
      SONA_ChannelGetTag SONA_ChannelPause SONA_ChannelPlay SONA_ChannelSetAttributes
      SONA_ChannelSetFlags SONA_ChannelSetPosition SONA_ErrorGetCode SONA_ErrorGetText
      SONA_EventFd SONA_EventNext SONA_Free SONA_Init SONA_StreamCreateFile)
endif()
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "${LIBRARY} exports: ${found}\nexpected exactly: ${expected}")
endif()
