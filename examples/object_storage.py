"""The sample archive on object storage: uploaded to an S3-compatible server
and read from there, with the same rows as from the local folder.

    python examples/object_storage.py                # moto's S3 server on this machine stands in for S3
    python examples/object_storage.py ENDPOINT_URL   # your own S3-compatible server (credentials from the environment)
"""

import os
import sys
from pathlib import Path

import numpy as np
import s3fs
import zentrail

sample = Path(__file__).resolve().parent / "sample-archive"
if len(sys.argv) > 1:
    endpoint, server = sys.argv[1], None
else:
    from moto.server import ThreadedMotoServer

    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    endpoint = f"http://127.0.0.1:{server._server.server_port}"

# What s3fs needs to reach the bucket: handed to fsspec, shown nowhere.
options = {"key": os.environ.get("AWS_ACCESS_KEY_ID", "example"),
           "secret": os.environ.get("AWS_SECRET_ACCESS_KEY", "example"),
           "client_kwargs": {"endpoint_url": endpoint, "region_name": "eu-west-1"}}
bucket = s3fs.S3FileSystem(**options)
if not bucket.exists("plant-archives"):
    bucket.mkdir("plant-archives")
bucket.put(str(sample), "plant-archives/site-a", recursive=True)

root = "s3://plant-archives/site-a"
for path in zentrail.find_files(root, "2024-03-01", "2024-03-03", storage_options=options):
    print(path)
furnace = [7 * 1024 + index for index in range(4)]
remote = zentrail.scan(root, "2024-03-01", "2024-03-03", furnace, storage_options=options)
print(remote)
columns = remote.to_numpy()
local = zentrail.scan(sample, "2024-03-01", "2024-03-03", furnace).to_numpy()
print(len(columns["time"]), "rows, the same as from the folder:",
      all(np.array_equal(columns[name], local[name]) for name in local))
print(zentrail.inventory(root, storage_options=options).to_pandas()[["signal_id", "class_name", "records"]])
if server is not None:
    server.stop()
