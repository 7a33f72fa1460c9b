from tarnix_tools.cli import console_main

console_main()
