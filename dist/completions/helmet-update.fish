# fish completion for helmet-update. Every command and option of the program is named here (the test
# completions_name_every_option compares them with the program's --help).
set -l commands list info update replay
complete -c helmet-update -f
complete -c helmet-update -n "not __fish_seen_subcommand_from $commands" -a list -d 'list the connected units'
complete -c helmet-update -n "not __fish_seen_subcommand_from $commands" -a info -d 'the unit\'s mode, versions and flags'
complete -c helmet-update -n "not __fish_seen_subcommand_from $commands" -a update -d 'update the unit'
complete -c helmet-update -n "not __fish_seen_subcommand_from $commands" -a replay -d 'play a capture back to this program\'s update'
complete -c helmet-update -n "__fish_seen_subcommand_from replay" -F -d 'the capture to play back'
complete -c helmet-update -s h -l help -d 'print the help and exit'
complete -c helmet-update -l version -d 'print the version and exit'
complete -c helmet-update -l unit -x -a '(helmet-update list 2>/dev/null | string split -f1 " ")' -d 'the unit\'s device path or location'
complete -c helmet-update -l all -d 'update every unit connected, at once'
complete -c helmet-update -l watch -d 'wait for units and update each one plugged in'
complete -c helmet-update -l lang -x -a 'de fr it es en' -d 'language of the texts'
complete -c helmet-update -l trace -r -F -d 'append the trace lines to FILE'
complete -c helmet-update -l capture -r -F -d 'write every USB exchange with the unit to FILE'
complete -c helmet-update -l verbose -d 'the trace lines on standard error too'
complete -c helmet-update -l quiet -d 'show only errors and the result'
complete -c helmet-update -l json -d 'one JSON object per event on standard output'
complete -c helmet-update -s y -l yes -d 'do not ask before the update starts'
complete -c helmet-update -l demo -d 'run against the emulated unit'
