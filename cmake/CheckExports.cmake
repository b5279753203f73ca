# The check of the Windows module's export table as a CTest test: exported names, the argument
# bytes of each 32-bit __stdcall export, and the DLLs it imports (cmake/check_exports.py).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(NOT CMAKE_OBJDUMP)
  find_program(CMAKE_OBJDUMP NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump objdump REQUIRED)
endif()

enable_testing()
add_test(NAME module_exports
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_exports.py --objdump ${CMAKE_OBJDUMP}
          $<TARGET_FILE:QBNotifyAddOn>)
