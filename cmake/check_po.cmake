# Compiles the catalogue PO into MO, after checking that it translates every text of
# the template POT (what the sources mark today), with no entry fuzzy or left open.
# Entries the sources no longer mark are only dropped by msgmerge here, never refused.
#   cmake -DMSGMERGE=... -DMSGFMT=... -DMSGATTRIB=... -DPO=... -DPOT=... -DMO=... -P check_po.cmake
get_filename_component(lang ${PO} NAME_WE)
set(merged ${MO}.merged.po)
get_filename_component(dir ${MO} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND ${MSGMERGE} --quiet --no-wrap -o ${merged} ${PO} ${POT}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "po/${lang}.po cannot be merged with the texts of the sources")
endif()
execute_process(COMMAND ${MSGATTRIB} --no-obsolete --untranslated --no-wrap ${merged}
                OUTPUT_VARIABLE open_entries RESULT_VARIABLE rc1)
execute_process(COMMAND ${MSGATTRIB} --no-obsolete --only-fuzzy --no-wrap ${merged}
                OUTPUT_VARIABLE fuzzy_entries RESULT_VARIABLE rc2)
file(REMOVE ${merged})
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "msgattrib failed on po/${lang}.po")
endif()
if(open_entries OR fuzzy_entries)
  # Each list begins with the header entry, up to the first empty line.
  foreach(list open_entries fuzzy_entries)
    string(FIND "${${list}}" "\n\n" end)
    if(end GREATER -1)
      math(EXPR end "${end} + 2")
      string(SUBSTRING "${${list}}" ${end} -1 ${list})
    endif()
  endforeach()
  message(FATAL_ERROR "po/${lang}.po is not complete; translate these texts "
                      "(and remove the fuzzy marks):\n${open_entries}${fuzzy_entries}")
endif()
execute_process(COMMAND ${MSGFMT} --check --statistics -o ${MO} ${PO} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "po/${lang}.po does not compile")
endif()
