# Builds the Debian package, unpacks it into a scratch root and checks that every file lands
# where the system and the installed program look for it, that the control data names the
# runtime libraries, that the maintainer scripts never fail where udev is missing or down, that
# the bash completion offers what the installed program accepts, and that Debian's own checkers
# (lintian, desktop-file-validate, appstreamcli) accept the package.
# Given: CPACK_COMMAND, CPACK_CONFIG, WORK_DIR (scratch folder), VERSION, PROGRAMS, LINTIAN,
# DESKTOP_FILE_VALIDATE, APPSTREAMCLI (the checkers' paths).

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        message(SEND_ERROR "${ARGN} failed (${status}):\n${out}${err}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

# Checks that `text` matches `regex`; the first group's capture is left in `match`.
function(expect text regex)
    if(NOT "${text}" MATCHES "${regex}")
        message(SEND_ERROR "no match for \"${regex}\" in:\n${text}")
    endif()
    set(match "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run(${CPACK_COMMAND} --config ${CPACK_CONFIG} -B ${WORK_DIR})
file(GLOB deb ${WORK_DIR}/*.deb)
run(dpkg-deb -f ${deb} Package Version Section Maintainer Depends Recommends)
expect("${output}" "^Package: npx4-prog\nVersion: ${VERSION}\nSection: electronics\n\
Maintainer: Velmora <support@velmora.example>\n")
foreach(library libqt6core6 libqt6gui6 libqt6widgets6 libftdi1-2 libssl3)
    expect("${output}" "\nDepends:[^\n]*${library}")
endforeach()
expect("${output}" "\nRecommends: qt6-translations-l10n")

# The program finds its translations at ../share/npx4-prog/translations from its own folder;
# the desktop entry starts an installed program and shows an installed icon.
set(root ${WORK_DIR}/root)
run(dpkg -x ${deb} ${root})
file(READ ${root}/usr/share/applications/npx4-prog.desktop entry)
expect("${entry}" "\nExec=([^ \n]+)")
set(files usr/bin/${match} usr/bin/../share/npx4-prog/translations/npx4-prog_de.qm)
expect("${entry}" "\nIcon=([^\n]+)")
list(APPEND files usr/share/icons/hicolor/scalable/apps/${match}.svg
    usr/share/doc/npx4-prog/copyright usr/share/bash-completion/completions/npx4-cli)
list(TRANSFORM PROGRAMS PREPEND usr/bin/ OUTPUT_VARIABLE programs)
list(TRANSFORM PROGRAMS PREPEND usr/share/man/man1/ OUTPUT_VARIABLE pages)
list(TRANSFORM pages APPEND .1.gz)
foreach(file IN LISTS files programs pages)
    if(NOT EXISTS ${root}/${file} OR IS_DIRECTORY ${root}/${file})
        message(SEND_ERROR "${file} is not installed")
    endif()
endforeach()

# The uaccess tag only takes effect in a rule that runs before 73-seat-late.rules.
file(GLOB rules RELATIVE ${root}/usr/lib/udev/rules.d ${root}/usr/lib/udev/rules.d/*.rules)
if(NOT rules OR NOT rules STRLESS "73-seat-late.rules")
    message(SEND_ERROR "udev rule \"${rules}\" is missing or sorts after 73-seat-late.rules")
endif()

# Maintainer scripts with udevadm absent, failing at either step (udev not running) and working.
run(dpkg-deb -e ${deb} ${WORK_DIR}/control)
set(udevadm ${WORK_DIR}/bin/udevadm)
file(WRITE ${udevadm} "#!/bin/sh\necho \"$*\" >>\"$LOG\"\n[ \"$1\" != \"$FAIL\" ]\n")
file(CHMOD ${udevadm} PERMISSIONS OWNER_READ OWNER_EXECUTE)
foreach(script postinst postrm)
    foreach(case "${WORK_DIR}/root;-" "${WORK_DIR}/bin;control" "${WORK_DIR}/bin;trigger"
                 "${WORK_DIR}/bin;-")
        list(GET case 0 path)
        list(GET case 1 fail)
        file(REMOVE ${WORK_DIR}/${script}.log)
        run(${CMAKE_COMMAND} -E env PATH=${path} LOG=${WORK_DIR}/${script}.log FAIL=${fail}
            /bin/sh ${WORK_DIR}/control/${script} configure)
    endforeach()
    file(READ ${WORK_DIR}/${script}.log calls)
    expect("${calls}" "^control --reload-rules\ntrigger --subsystem-match=usb \
--attr-match=idVendor=0403\n$")
endforeach()

# The changelog and the AppStream release both name this version.
run(gzip -dc ${root}/usr/share/doc/npx4-prog/changelog.gz)
expect("${output}" "^npx4-prog \\(([^)]+)\\)")
if(NOT match STREQUAL VERSION)
    message(SEND_ERROR "the changelog's latest entry is ${match}, the package ${VERSION}")
endif()
file(GLOB metainfo ${root}/usr/share/metainfo/*.metainfo.xml)
file(READ "${metainfo}" component)
expect("${component}" "<release version=\"([^\"]+)\"")
if(NOT match STREQUAL VERSION)
    message(SEND_ERROR "the AppStream metadata's latest release is ${match}, the package ${VERSION}")
endif()

# Completion: each case is the line typed after the program's name (words split as the shell
# splits them, also at "=") and the candidates expected for its last word.
set(completion ${root}/usr/share/bash-completion/completions/npx4-cli)
foreach(case "ve|verify" "--bl|--blocks" "read --blocks 12|12..." "read --blocks = 5...|5...1023"
             "--quiet verify ${WORK_DIR}/control/postr|${WORK_DIR}/control/postrm"
             "verify x.bin |")
    string(REGEX MATCH "^(.*)[|](.*)$" case "${case}")
    set(expected "${CMAKE_MATCH_2}")
    run(bash -c "source \"$0\" && read -ra COMP_WORDS <<<\"$1 $2\" && \
[[ $2 != *' ' ]] || COMP_WORDS+=('') && COMP_CWORD=$((\${#COMP_WORDS[@]} - 1)) && \
_npx4_cli \"$1\" && printf '%s\\n' \"\${COMPREPLY[@]}\""
        ${completion} ${root}/usr/bin/npx4-cli "${CMAKE_MATCH_1}")
    string(STRIP "${output}" output)
    if(NOT output STREQUAL expected)
        message(SEND_ERROR "completing \"${CMAKE_MATCH_1}\" offers \"${output}\", not \"${expected}\"")
    endif()
endforeach()

# Debian's checkers: no lintian error or warning, nor any of its hardening notes.
foreach(checker LINTIAN DESKTOP_FILE_VALIDATE APPSTREAMCLI)
    if(NOT ${checker})
        message(FATAL_ERROR "${checker} not found: scripts/install-deps.sh installs it")
    endif()
endforeach()
run(${DESKTOP_FILE_VALIDATE} ${root}/usr/share/applications/npx4-prog.desktop)
run(${APPSTREAMCLI} validate --no-net ${metainfo})
execute_process(COMMAND ${LINTIAN} --display-info ${deb}
    OUTPUT_VARIABLE lintian ERROR_VARIABLE lintian_errors RESULT_VARIABLE status)
message(STATUS "lintian:\n${lintian}")
string(REGEX MATCHALL "(^|\n)([EW]: [^\n]*|I: [^\n]*hardening[^\n]*)" complaints "${lintian}")
if(complaints OR NOT status EQUAL 0)
    message(SEND_ERROR "lintian (${status}) complains:\n${lintian}${lintian_errors}")
endif()
