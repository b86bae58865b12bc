# Run by cpack on the .zip it made: the archive is written again with its entries in sorted
# order (CPack takes them in the order the staging folder lists them, which depends on the
# file system), every entry at the package's time stamp (its DOS time in UTC), and without the
# extra fields that would carry the packager's user and the files' access times (zip -X).
find_program(unzip_program unzip REQUIRED)
find_program(zip_program zip REQUIRED)
find_program(touch_program touch REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    set(work "${package}.sorting")
    file(REMOVE_RECURSE "${work}")
    file(MAKE_DIRECTORY "${work}")
    execute_process(COMMAND "${unzip_program}" -q "${package}" -d "${work}"
                    COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB_RECURSE entries RELATIVE "${work}" "${work}/*")
    list(SORT entries)
    string(REPLACE ";" "\n" listing "${entries}")
    file(WRITE "${work}.list" "${listing}\n")
    foreach(entry IN LISTS entries)
        if(entry MATCHES "\\.exe$")
            file(CHMOD "${work}/${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                                      GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
        else()
            file(CHMOD "${work}/${entry}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        endif()
    endforeach()
    set(saved_tz "$ENV{TZ}")
    set(ENV{TZ} UTC)
    foreach(entry IN LISTS entries)
        execute_process(COMMAND "${touch_program}" -h -d "@$ENV{SOURCE_DATE_EPOCH}" "${entry}"
                        WORKING_DIRECTORY "${work}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
    file(REMOVE "${package}")
    execute_process(COMMAND "${zip_program}" -q -X -D -9 "${package}" -@
                    INPUT_FILE "${work}.list" WORKING_DIRECTORY "${work}"
                    COMMAND_ERROR_IS_FATAL ANY)
    set(ENV{TZ} "${saved_tz}")
    file(REMOVE_RECURSE "${work}" "${work}.list")
endforeach()
