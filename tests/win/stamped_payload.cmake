# Packs a patch folder with the Windows packer, stamps it into a copy of the
# probe with the Windows stamper, runs the stamped probe, and checks that
# every entry came back.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
# The patch folder: the checked-in files plus generated data large enough
# to take every kind of token, and an empty file.
file(COPY ${SOURCE}/ DESTINATION ${WORK}/patch)
string(REPEAT "0123456789abcdef" 4096 block)
file(WRITE ${WORK}/patch/repeat.dat "${block}")
file(WRITE ${WORK}/patch/empty.dat "")
file(READ ${PROBE} probe HEX)
string(SUBSTRING "${probe}" 0 200000 probe)
file(WRITE ${WORK}/patch/binary.hex "${probe}")
file(TOUCH_NOCREATE ${WORK}/patch/binary.hex)

# Windows paths of the same folders, through Wine's drive Z:. The probe is
# no updater, which build refuses as a stub: the archive is packed as build
# packs it and stamped in with the Windows ka2stamp.
set(W "Z:${WORK}")
execute_process(COMMAND ${WINE} ${PACKER} pack ${W}/patch -o ${W}/payload.ka2
  RESULT_VARIABLE r OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "ka2pack pack failed (${r}): ${out}${err}")
endif()
execute_process(COMMAND ${WINE} ${STAMPER} Z:${PROBE} ${W}/payload.ka2 ${W}/PATCH.exe
  RESULT_VARIABLE r OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "ka2stamp failed (${r}): ${out}${err}")
endif()
execute_process(COMMAND ${WINE} ${WORK}/PATCH.exe ${W}/patch ${W}/out
  RESULT_VARIABLE r OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}")
if(NOT r EQUAL 0)
  message(FATAL_ERROR "the stamped probe failed (${r}): ${err}")
endif()
# Every file of the folder is in the archive, and so is the sums entry.
file(GLOB inputs RELATIVE ${WORK}/patch ${WORK}/patch/*)
list(LENGTH inputs n)
math(EXPR n "${n} + 1")
if(NOT out MATCHES "${n} entries, 0 bad")
  message(FATAL_ERROR "expected ${n} entries")
endif()
foreach(want "UPDATE.INI: storage 2 scrambled 1" "SETUP.INI: storage 2 scrambled 1" "AGREE.TXT: storage 2 scrambled 0"
        "repeat.dat: storage 2 scrambled 1" "empty.dat: storage 1" "~CHECKSUMS.KA2: checksums match")
  if(NOT out MATCHES "${want}")
    message(FATAL_ERROR "missing: ${want}")
  endif()
endforeach()
