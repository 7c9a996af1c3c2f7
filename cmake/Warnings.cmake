# Project-wide warning flags; applied per target through quillet_warnings.
add_library(quillet_warnings INTERFACE)
target_compile_options(quillet_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                                  -Wmissing-declarations -Wundef)
if(WARNINGS_AS_ERRORS)
  target_compile_options(quillet_warnings INTERFACE -Werror)
endif()
