from quillforge.cli import main

raise SystemExit(main())
