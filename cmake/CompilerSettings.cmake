# Warnings and sanitizers shared by every target of the project.
add_library(tovzelt_warnings INTERFACE)
target_compile_options(tovzelt_warnings INTERFACE -Wall -Wextra)

if(TOVZELT_SANITIZE)
    add_compile_options(-fsanitize=${TOVZELT_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${TOVZELT_SANITIZE})
endif()
