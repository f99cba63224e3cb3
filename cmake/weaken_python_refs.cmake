# cmake -DOBJCOPY=<objcopy> -DOBJECTS=<a.o;b.o> -P weaken_python_refs.cmake
# Makes the objects' references to the Python C API weak (see CMakeLists.txt).
foreach(obj IN LISTS OBJECTS)
  execute_process(COMMAND "${OBJCOPY}" --wildcard "--weaken-symbol=Py*" "--weaken-symbol=_Py*" "${obj}"
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJCOPY} failed on ${obj}")
  endif()
endforeach()
