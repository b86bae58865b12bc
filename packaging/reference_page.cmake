# Writes the package's reference page: the README's sections on the two file layouts and the
# JSON report, so the installed page and the README cannot drift apart.
#   cmake -DREADME=<README.md> -DTEMPLATE=<reference.md.in> -DOUTPUT=<file>
#         -DPROJECT_VERSION=<version> -P reference_page.cmake
# A section that is not found stops the build: a page without it would be silently short.
file(READ "${README}" readme)
set(reference_sections "")
foreach(heading "## Descriptor module (" "## Public Key Entry module (" "### The JSON report")
    string(FIND "${readme}" "\n${heading}" start)
    if(start EQUAL -1)
        message(FATAL_ERROR "${README} has no section \"${heading}\"")
    endif()
    math(EXPR start "${start} + 1")
    string(SUBSTRING "${readme}" ${start} -1 section)
    # The section ends where the next heading of any level begins.
    string(FIND "${section}" "\n#" end)
    string(SUBSTRING "${section}" 0 ${end} section)
    string(STRIP "${section}" section)
    # Every section is a chapter of the page, whatever its level in the README.
    string(REGEX REPLACE "^#+ " "## " section "${section}")
    string(APPEND reference_sections "${section}\n\n")
endforeach()
string(STRIP "${reference_sections}" reference_sections)
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
