# SPDX-License-Identifier: BSD-2-Clause-Patent
# One board printed by `dxesim board` boots as the board itself does (its
# golden record, every field, the board's name included), and printing
# the printed board gives the same text. Run by ctest with -DDXESIM=
# -DGOLDEN= -DBOARD= -DOUT= (a directory of its own).
file(MAKE_DIRECTORY ${OUT})
get_filename_component(name ${BOARD} NAME_WE)
set(printed ${OUT}/${name}.toml)
set(again ${OUT}/${name}.again.toml)
execute_process(COMMAND ${DXESIM} board ${BOARD} -o ${printed} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dxesim board ${BOARD} failed with exit status ${status}")
endif()
execute_process(COMMAND ${DXESIM} diff ${GOLDEN} ${printed} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${printed}, printed from ${BOARD}, does not boot as ${GOLDEN} records "
                      "(exit status ${status}, the difference is above)")
endif()
execute_process(COMMAND ${DXESIM} board ${printed} -o ${again} RESULT_VARIABLE status)
file(READ ${printed} first)
file(READ ${again} second)
if(NOT status EQUAL 0 OR NOT first STREQUAL second)
  message(FATAL_ERROR "printing ${printed} again gives other text (exit status ${status}): diff ${printed} ${again}")
endif()
