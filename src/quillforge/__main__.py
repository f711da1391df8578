from quillforge._console import main

raise SystemExit(main())
