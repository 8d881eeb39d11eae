# qn_gzip(SOURCE OUTPUT): OUTPUT is SOURCE compressed the way Debian wants
# manual pages and changelogs: gzip -9n, no name or time stamp inside, so
# the same source always gives the same bytes. Made at configure time.
function(qn_gzip source output)
    execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${output}
                    COMMAND_ERROR_IS_FATAL ANY)
endfunction()
