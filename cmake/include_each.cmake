# Includes every cmake/<pattern> file in name order, so each area keeps its own file and no
# list of areas needs editing. A macro: what the files set is seen by the includer.
macro(include_each pattern)
  # CONFIGURE_DEPENDS: a new area file arriving by a merge reconfigures an existing build.
  file(GLOB _include_each_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/${pattern})
  list(SORT _include_each_files)
  foreach(_include_each_file ${_include_each_files})
    include(${_include_each_file})
  endforeach()
endmacro()
