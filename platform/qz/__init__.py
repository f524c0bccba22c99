# The platform package: the built libraries (dumptree, modelgate, sweeper) sit
# beside the platform layer modules (qzconfig, qztool, qzmqobj, qzmqtool).
