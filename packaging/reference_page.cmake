# Writes the package's reference page: the sections of docs/formats.md on the two file layouts
# and the JSON report, so the installed page and the document cannot drift apart.
#   cmake -DSOURCE=<docs/formats.md> -DTEMPLATE=<reference.md.in> -DOUTPUT=<file>
#         -DPROJECT_VERSION=<version> -P reference_page.cmake
# A section that is not found stops the build: a page without it would be silently short.
file(READ "${SOURCE}" source)
set(reference_sections "")
foreach(heading "## Descriptor module (" "## Public Key Entry module (" "## The JSON report")
    string(FIND "${source}" "\n${heading}" start)
    if(start EQUAL -1)
        message(FATAL_ERROR "${SOURCE} has no section \"${heading}\"")
    endif()
    math(EXPR start "${start} + 1")
    string(SUBSTRING "${source}" ${start} -1 section)
    # The section ends where the next heading of any level begins.
    string(FIND "${section}" "\n#" end)
    string(SUBSTRING "${section}" 0 ${end} section)
    string(STRIP "${section}" section)
    string(APPEND reference_sections "${section}\n\n")
endforeach()
string(STRIP "${reference_sections}" reference_sections)
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
