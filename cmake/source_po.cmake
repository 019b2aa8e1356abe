# Compiles the catalogue that translates every text of the template POT into itself.
#   cmake -DMSGEN=... -DMSGCAT=... -DMSGFMT=... -DPOT=... -DMO=... [-DOVERRIDES=...]
#         -P source_po.cmake
get_filename_component(dir ${MO} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
set(po ${MO}.po)
execute_process(COMMAND ${MSGEN} --no-wrap -o ${po} ${POT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "msgen failed on ${POT}")
endif()
# A header of its own in place of the template's placeholder one.
file(READ ${po} text)
string(FIND "${text}" "\n\n" end)
string(SUBSTRING "${text}" ${end} -1 entries)
file(WRITE ${po} "msgid \"\"\nmsgstr \"\"\n"
     "\"Language: zh\\n\"\n"
     "\"MIME-Version: 1.0\\n\"\n"
     "\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
     "\"Content-Transfer-Encoding: 8bit\\n\"\n"
     "\"Plural-Forms: nplurals=1; plural=0;\\n\"\n"
     "${entries}")
# Texts whose keys are not Chinese get their Chinese from the override file, which wins.
if(OVERRIDES)
  execute_process(COMMAND ${MSGCAT} --use-first --no-wrap -o ${po} ${OVERRIDES} ${po}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "msgcat failed on ${OVERRIDES}")
  endif()
endif()
execute_process(COMMAND ${MSGFMT} --check-format --check-domain -o ${MO} ${po} RESULT_VARIABLE rc)
file(REMOVE ${po})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the zh catalogue does not compile")
endif()
