import sys

from kavrel.cli.main import main

sys.exit(main())
