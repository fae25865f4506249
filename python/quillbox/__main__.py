from quillbox import main

main()
