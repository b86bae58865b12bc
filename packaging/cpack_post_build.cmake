# Run by cpack on each package it made. CPack writes the mode of the package's three ar
# members (debian-binary, control.tar.gz, data.tar.gz) from the packager's umask; dpkg does not
# read them, but they are bytes of the package. Each is set to 0644, as dpkg-deb writes it.
# An ar header is 60 bytes: name (16), time (12), owner (6), group (6), mode (8), size (10)
# and the two bytes "`\n"; a member's data is padded to an even length.
find_program(dd_program dd REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    file(WRITE "${package}.mode" "100644  ")
    file(READ "${package}" magic LIMIT 8)
    if(NOT magic STREQUAL "!<arch>\n")
        message(FATAL_ERROR "${package} is not an ar archive")
    endif()
    file(SIZE "${package}" package_size)
    set(offset 8)
    while(offset LESS package_size)
        file(READ "${package}" header OFFSET ${offset} LIMIT 60)
        string(LENGTH "${header}" header_length)
        if(header_length EQUAL 60)
            string(SUBSTRING "${header}" 58 2 header_end)
            string(SUBSTRING "${header}" 48 10 member_size)
            string(STRIP "${member_size}" member_size)
        endif()
        if(NOT header_length EQUAL 60 OR NOT header_end STREQUAL "`\n"
           OR NOT member_size MATCHES "^[0-9]+$")
            message(FATAL_ERROR "${package}: no ar member header at byte ${offset}")
        endif()
        math(EXPR mode_offset "${offset} + 40")
        execute_process(COMMAND "${dd_program}" "if=${package}.mode" "of=${package}" bs=1
                                seek=${mode_offset} conv=notrunc status=none
                        COMMAND_ERROR_IS_FATAL ANY)
        math(EXPR offset "${offset} + 60 + ${member_size} + ${member_size} % 2")
    endwhile()
    file(REMOVE "${package}.mode")
endforeach()
