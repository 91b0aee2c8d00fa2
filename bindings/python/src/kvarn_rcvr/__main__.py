import sys

from kvarn_rcvr import main

sys.exit(main())
