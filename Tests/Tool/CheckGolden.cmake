# SPDX-License-Identifier: BSD-2-Clause-Patent
# One board against its golden record: the boot's behaviour now, compared
# with the reviewed one. Run by ctest with -DDXESIM= -DGOLDEN= -DBOARD=.
execute_process(COMMAND ${DXESIM} diff ${GOLDEN} ${BOARD} RESULT_VARIABLE status)
if(status EQUAL 4)
  message(FATAL_ERROR "${BOARD} no longer behaves as ${GOLDEN} records (the difference is above). "
                      "If the change is intended, run scripts/update-goldens.sh and commit the goldens with it.")
elseif(NOT status EQUAL 0)
  message(FATAL_ERROR "dxesim diff ${GOLDEN} ${BOARD} failed with exit status ${status}")
endif()
