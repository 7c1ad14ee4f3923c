# Writes the translators' template to OUTPUT (cmake -P, from the source folder): the tables
# first, then the desktop entry, the AppStream metadata and the polkit action, which xgettext
# reads through their ITS rules (the appstream and polkitd packages install them). The policy is
# the one quillo-helper-files (HELPER_FILES) writes, so the message translated is the message
# installed. With COMPARE, fails when OUTPUT differs from that file.
foreach(var OUTPUT STRINGS_POT HELPER_FILES)
  if(NOT ${var})
    message(FATAL_ERROR "MakePot.cmake needs -D${var}=...")
  endif()
endforeach()
find_program(XGETTEXT xgettext REQUIRED)
find_program(MSGCAT msgcat REQUIRED)
get_filename_component(parts "${OUTPUT}.parts" ABSOLUTE)
file(MAKE_DIRECTORY ${parts}/helper)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}")
  endif()
endfunction()

run(${STRINGS_POT} ${parts}/tables.pot po/KEEP_ENGLISH
    =resources/localization/Localizable.strings Errors=resources/localization/Errors.strings)
run(${XGETTEXT} --omit-header --add-location=file -L Desktop -o ${parts}/desktop.pot data/org.quillo.quillo-3.desktop)
run(${XGETTEXT} --omit-header --add-location=file --its=/usr/share/gettext/its/metainfo.its
    -o ${parts}/metainfo.pot data/org.quillo.quillo-3.metainfo.xml.in)
run(${HELPER_FILES} ${parts}/helper /usr/libexec/quillo/quillo3-helper)
run(${XGETTEXT} --omit-header --no-location -o ${parts}/policy.pot ${parts}/helper/org.quillo.quillo-3.policy)
run(${MSGCAT} --use-first -o ${OUTPUT} ${parts}/tables.pot ${parts}/desktop.pot ${parts}/metainfo.pot ${parts}/policy.pot)
file(REMOVE_RECURSE ${parts})

if(COMPARE)
  file(READ ${OUTPUT} now)
  file(READ ${COMPARE} kept)
  if(NOT now STREQUAL kept)
    message(FATAL_ERROR "${COMPARE} is out of date: run cmake --build BUILD --target pot, then msgmerge the catalogs (po/README)")
  endif()
endif()
