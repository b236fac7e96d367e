# fish completion for findlark-cli

complete -c findlark-cli -f
complete -c findlark-cli -s c -l contents -d 'Search within files'
complete -c findlark-cli -l pdf -d 'Search within files, PDF documents too'
complete -c findlark-cli -s t -l type -x -d 'Find files of one type only' -a "Documents Pictures Music Video Webpages 'PDF Documents' Spreadsheets Presentations Applications Folders Archives 'Source Code' Other"
complete -c findlark-cli -s a -l all-drives -d 'Search the whole machine instead of FOLDER'
complete -c findlark-cli -l network-mounts -d 'Search network file systems too in a whole-machine search'
complete -c findlark-cli -s E -l exclude -x -d 'Leave out names matching a pattern'
complete -c findlark-cli -s S -l size -x -d 'At least (+N) or at most (-N) bytes, such as +10MB'
complete -c findlark-cli -l changed-within -x -d 'Changed after a time ago (2d) or a date'
complete -c findlark-cli -l changed-before -x -d 'Changed before a time ago (2d) or a date'
complete -c findlark-cli -s w -l word -d 'Whole words only'
complete -c findlark-cli -s x -l one-file-system -d 'Do not enter other mounted file systems'
complete -c findlark-cli -s f -l format -x -d 'Output format' -a 'tree paths tsv json'
complete -c findlark-cli -s 0 -l print0 -d 'Paths, each followed by a NUL byte'
complete -c findlark-cli -l html -r -F -d 'Also save the results page to FILE'
complete -c findlark-cli -l color -x -d 'Colour the tree' -a 'auto always never'
complete -c findlark-cli -s q -l quiet -d 'Show neither progress nor the final status line'
complete -c findlark-cli -l threads -x -d 'Walk and read on N threads (1 to 256)'
complete -c findlark-cli -s h -l help -d 'Show the help and exit'
complete -c findlark-cli -s V -l version -d 'Show the version and exit'
# FOLDERs, after the search text.
complete -c findlark-cli -n 'test (count (commandline -opc | string match -rv "^-")) -ge 2' -a '(__fish_complete_directories)'
