# Windows services: web fetch, download, processes, version resource, single instance.
