from marlix.cli import main

raise SystemExit(main())
